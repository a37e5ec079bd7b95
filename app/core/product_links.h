// The web addresses the windows open: the main menu's pages, the help page and
// the share pages that point other people at the product's page.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

struct TMenuLink {
    std::string_view caption;
    std::string_view address;
};

// "Related software": six products of the maker, then "More .. ".
std::span<const TMenuLink> RelatedSoftwareLinks();
// " Freeware Downlaod": six free products of the maker, this one among them.
std::span<const TMenuLink> FreewareDownloadLinks();
std::string_view HelpPageUrl();

struct TShareLink {
    std::string hint;
    std::string address;
};

// The seven share addresses, left to right. The page address goes in as it
// is; the fixed title and text are already written for an address.
std::vector<TShareLink> ShareLinks(std::string_view productPageUrl);

}  // namespace tavrin
