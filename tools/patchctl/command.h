// patchctl's commands. Each takes its command line as main's table declares it, already read by that
// declaration; a finding that the line does not fit after all is thrown as UsageError.
#pragma once

#include "tools/patchctl/arguments.h"

#include <string>

namespace pc::patchctl {

// The exit status of every command that works on an installation whose Config.ini is missing or unusable.
inline constexpr int kNoConfiguration = 3;

// Sets the run's download speed limit: --limit-rate when given (a UsageError when it is no rate), the
// installation's setting otherwise.
void TakeSpeedLimit(const Arguments& args, const std::string& appDir);

int RunConfigDecode(const Arguments& args);
int RunConfigEncode(const Arguments& args);
int RunExtract(const Arguments& args);
int RunKeygen(const Arguments& args);
int RunLint(const Arguments& args);
int RunList(const Arguments& args);
int RunPack(const Arguments& args);
int RunPublish(const Arguments& args);
int RunRelease(const Arguments& args);
int RunRepair(const Arguments& args);
int RunSign(const Arguments& args);
int RunSnapshot(const Arguments& args);
int RunTrustInit(const Arguments& args);
int RunTrustRotate(const Arguments& args);
int RunUpdate(const Arguments& args);
int RunVerify(const Arguments& args);

} // namespace pc::patchctl
