// Giving the media components their libraries before a merge or a file is
// opened, with one text for the failure wherever it shows.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

namespace tavrin {

class LibraryUser;

// Loads the media libraries for each component that has not got them, from
// the program's own library folder first, then the system's library path.
// False when one cannot get them, with the reason in errorText: the folder
// looked in and the loader's own text.
bool EnsureMediaLibraries(std::initializer_list<std::reference_wrapper<LibraryUser>> components,
                          std::string& errorText);

}  // namespace tavrin
