#include "app/core/media_libraries.h"

#include "media/runtime/loader.h"

namespace tavrin {

bool EnsureMediaLibraries(std::initializer_list<std::reference_wrapper<LibraryUser>> components,
                          std::string& errorText) {
    for (LibraryUser& component : components) {
        if (component.LibrariesLoaded() || component.LoadLibraries(DefaultLibraryFolder())) {
            continue;
        }
        errorText = "The media libraries could not be loaded (looked in " + DefaultLibraryFolder() +
                    ", then the system's library path): " + component.LastErrorText();
        return false;
    }
    return true;
}

}  // namespace tavrin
