// Windows rules for names met on disk: a game run under Wine sees one file where the names differ only in
// letter case, so extraction writes to what is already there instead of creating a second.
#pragma once

#include <string>

namespace pc {

// `relative` (components separated by '/') with every component that exists under `base` in another
// letter case spelled as it is there ("Data/Game.dat" becomes "data/game.DAT"). Names this run has handed
// out count as existing, so two entries that differ only in case write one file. When several names on
// disk differ only in case, the one that sorts first is taken. Each directory is read once per run.
// `nameIsFree`, when given, tells whether nothing bears the whole name: not on disk when its folder was
// read (or the folder was not there) and not handed out before.
std::string ExistingSpelling(const std::string& base, const std::string& relative,
                             bool* nameIsFree = nullptr);

// Starts a new run: what is on disk may have changed since the last one.
void ForgetExistingNames();

} // namespace pc
