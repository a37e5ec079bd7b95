#include "app/core/about_text.h"

#include <ctime>

namespace tavrin {

std::string AboutHost(std::string_view pageUrl) {
    const std::size_t scheme = pageUrl.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t slash = pageUrl.find('/', start);
    if (slash == std::string_view::npos) {
        return {};
    }
    return std::string(pageUrl.substr(start, slash - start));
}

std::string AboutYearsLine(int year, std::string_view host) {
    return "2007-" + std::to_string(year) + " " + std::string(host);
}

std::string AboutNameLine(std::string_view productName, std::string_view versionText) {
    return std::string(productName) + " " + std::string(versionText);
}

int CurrentYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

}  // namespace tavrin
