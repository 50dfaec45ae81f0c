#include "launcher/list/list_fetch.h"

#include "framework/file_io.h"
#include "framework/helpers.h"
#include "launcher/list/list_freshness.h"
#include "launcher/list/list_signature.h"
#include "launcher/list/patch_list.h"
#include "launcher/net/delivery.h"
#include "launcher/net/download.h"
#include "launcher/ui_port.h"

#include <vector>

namespace pc {

TFetchedList FetchPatchList(UiPort& ui, const std::string& appDir, const TListSource& list,
                            TDelivery& delivery, const DownloadLimits& limits, const TListKeeping& keeping) {
    TFetchedList fetched;
    const std::string downloadDir = keeping.downloadDir.empty() ? appDir : keeping.downloadDir;
    const std::string listFile = downloadDir + kPatchListFileName;
    DownloadOptions options;
    options.maxBytes = kPatchListMaxBytes;
    options.delivery = &delivery;
    options.serverDate = &fetched.serverDate;
    std::vector<std::string> places{list.url};
    places.insert(places.end(), list.mirrors.begin(), list.mirrors.end());
    for (const std::string& place : places) {
        if (Download(ui, place, listFile, TProgressBar::pbUntouched, options, limits, &fetched.reason)) {
            fetched.source = place;
            fetched.reason.clear(); // what the places before it said no longer stands
            break;
        }
        if (ui.TerminationRequested()) {
            fetched.end = TFetchedList::TEnd::leEnded;
            return fetched;
        }
    }
    if (fetched.source.empty())
        return fetched;
    if (list.key) {
        const TListAcceptance acceptance = AcceptSignedList(ui, fetched.source, listFile, appDir, *list.key,
                                                            UnixSecondsNow(), keeping.readOnly, downloadDir);
        if (!acceptance.accepted) {
            RemoveFile(listFile);
            fetched.end = TFetchedList::TEnd::leRefused;
            fetched.reason = acceptance.reason;
            fetched.logLine = acceptance.logLine;
            return fetched;
        }
    }
    fetched.end = TFetchedList::TEnd::leFetched;
    return fetched;
}

} // namespace pc
