// The texts of the About window, from the product's names and page address.
#pragma once

#include <string>
#include <string_view>

namespace tavrin {

inline constexpr std::string_view kRightsText = "All rights reserved.";

// The host of an address: the text after "://" (from the start when there is
// no scheme) up to the next "/"; empty when no "/" follows.
std::string AboutHost(std::string_view pageUrl);

// "2007-<year> <host>".
std::string AboutYearsLine(int year, std::string_view host);

// Product name, a blank and the version text.
std::string AboutNameLine(std::string_view productName, std::string_view versionText);

// The year of the local clock.
int CurrentYear();

}  // namespace tavrin
