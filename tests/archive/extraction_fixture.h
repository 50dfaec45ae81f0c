// The extraction tests' fixture: a component over a fresh base folder, its dialogs answered by script.
#pragma once
#include "archive/code_pages.h"
#include "archive/extract_files.h"
#include "archive/zip_archiver.h"
#include "launcher/archiver_settings.h"
#include "tests/archive/zip_builder.h"
#ifndef _WIN32
#include "tests/support/child_process.h"
#endif
#include "tests/support/file_limit.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace fs = std::filesystem;

// A named namespace: the tests of both files must share one fixture class.
namespace extraction_test {

using pc::test::ReadFileBytes;
using pc::test::ZipBuilder;
using pc::test::ZipEntryDef;
using pc::testing::ScriptedDialogs;

inline const std::string kFailureTail = ". File processing error, possibly disk is full";

// Runs a check when a failure dialog comes up, then answers from the script.
class CheckingDialogs : public ScriptedDialogs {
public:
    std::function<void(const std::string&)> onFailure;
    pc::TZADialogAnswer ShowFailureDialog(const std::string& text, pc::TZAFailureButtons buttons) override {
        if (onFailure)
            onFailure(text);
        return ScriptedDialogs::ShowFailureDialog(text, buttons);
    }
};

class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        pc::ApplyLauncherArchiverSettings(zip);
        zip.DialogProvider = &dialogs;
        base = dir / "out/";
    }

    void Open(const std::string& archive) {
        zip.FileName = pc::Utf8ToWide(dir.Write("patch.zip", archive));
        zip.Open();
        zip.BaseDir = pc::Utf8ToWide(base);
    }

    // The launcher's sequence: open, extract every entry under the base directory, close.
    void Extract(const std::string& archive, const std::u16string& mask = u"*.*",
                 const std::u16string& exclusion = u"") {
        Open(archive);
        zip.ExtractMatching(mask, pc::kZAEveryAttribute, exclusion);
        zip.Close();
    }

    std::string Out(const std::string& relative) const { return ReadFileBytes(base + relative); }
    bool Has(const std::string& relative) const { return fs::exists(fs::symlink_status(base + relative)); }

    // Every path under the base directory, directories with a trailing '/'.
    std::set<std::string> Tree() const {
        std::set<std::string> out;
        if (!fs::exists(base))
            return out;
        for (const auto& e : fs::recursive_directory_iterator(base)) {
            std::string rel = fs::relative(e.path(), base).generic_string();
            out.insert(e.is_directory() ? rel + "/" : rel);
        }
        return out;
    }

    std::string FailureText(const std::string& message) const { return message + kFailureTail; }

    pc::test::TempDir dir;
    std::string base;
    pc::TZipArchiver zip;
    CheckingDialogs dialogs;
};

} // namespace extraction_test
