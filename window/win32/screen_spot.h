// Which spot on the desktop this launcher's window takes (see MainFormPlacement): the lowest one that no
// other running launcher of this session holds, whatever installation it belongs to.
#pragma once

#include "framework/win32/win32_support.h"

namespace pc {

class TScreenSpot {
public:
    // Takes the lowest free spot, held until this object goes. A spot is a named mutex of the session;
    // the system drops it with its last holder, however that ends. Where none can be made the spot is 0:
    // the window is centred as usual.
    TScreenSpot();

    int Index() const { return index_; }

private:
    win32::UniqueHandle mutex_;
    int index_ = 0;
};

} // namespace pc
