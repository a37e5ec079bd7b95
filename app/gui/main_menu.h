// The main window's menu: two sub-menus of the maker's products, "About",
// " Help " and an entry naming the product's web address.
#pragma once

#include <functional>

#include "app/core/global_object.h"
#include "app/gui/desktop_services.h"

class QMenuBar;

namespace tavrin {

// Adds the entries to the bar in their order. Every page opens through
// `services.openUrl`; "About" calls `showAbout`.
void FillMainMenu(QMenuBar& bar, const TGlobalObject& global, const TDesktopServices& services,
                  std::function<void()> showAbout);

}  // namespace tavrin
