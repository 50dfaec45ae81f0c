// Which spot on the desktop this launcher's window takes (see MainFormPlacement): the lowest one that no
// other running launcher of this user holds, whatever installation it belongs to.
#pragma once

#include "framework/posix/unique_fd.h"

#include <string>

namespace pc {

class TScreenSpot {
public:
    // Takes the lowest free spot, held until this object goes. Spots are locks on files in `folder`
    // (by default the user's runtime folder); the system drops a lock when its holder ends, however it
    // ends. Where no lock can be taken at all the spot is 0: the window is centred as usual.
    explicit TScreenSpot(const std::string& folder = DefaultFolder());

    int Index() const { return index_; }

    static std::string DefaultFolder();

private:
    posix::UniqueFd lock_;
    int index_ = 0;
};

} // namespace pc
