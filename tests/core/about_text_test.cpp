#include "app/core/about_text.h"

#include <gtest/gtest.h>

#include <set>

#include "app/core/global_object.h"
#include "app/core/product_links.h"

namespace tavrin {
namespace {

TEST(AboutText, HostAndYearsLineComeFromThePageAddress) {
    struct Case {
        const char* url;
        const char* host;
    };
    const Case cases[] = {
        {"http://www.example.org/merge/index.html", "www.example.org"},
        // A scheme longer than "http://" must not eat the host.
        {"https://tavrin.org/", "tavrin.org"},
        {"https://tavrin.org:8080/free/", "tavrin.org:8080"},
        {"https://tavrin.org", ""},
        {"tavrin.org/free/", "tavrin.org"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AboutHost(c.url), c.host) << c.url;
        EXPECT_EQ(AboutYearsLine(2031, AboutHost(c.url)), std::string("2007-2031 ") + c.host)
            << c.url;
    }
}

TEST(AboutText, NameLineAndYearOfTheClock) {
    EXPECT_EQ(AboutNameLine("Tavrin Free ", " 1.6010 "), "Tavrin Free   1.6010 ");
    EXPECT_GE(CurrentYear(), 2024);
    EXPECT_LT(CurrentYear(), 3000);
}

TEST(ProductLinks, ShareAddressesCarryThePageUnchangedInTheirOrder) {
    const std::string page = "https://tavrin.org/free/?a=1";
    const auto links = ShareLinks(page);
    ASSERT_EQ(links.size(), 7u);
    struct Case {
        std::size_t index;
        const char* hint;
        std::string tail;  // what follows the host's "/"
    };
    const Case cases[] = {
        {0, "Facebook", "share.php?u=" + page},
        {1, "Google Classroom", "share?url=" + page},
        {2, "X (Twitter)", "intent/tweet?source=webclient&text="},
        {3, "Diigo", "post?url=" + page + "&title="},
        {4, "Digg", "submit?phase=2&url=" + page + "&title="},
        {5, "Hacker News", "submit?url=" + page + "&title="},
        {6, "Reddit", "submit?url=" + page + "&title="},
    };
    std::set<std::string> hosts;
    for (const auto& c : cases) {
        const TShareLink& link = links[c.index];
        EXPECT_EQ(link.hint, c.hint);
        const std::string host = AboutHost(link.address);
        hosts.insert(host);
        ASSERT_TRUE(link.address.starts_with("https://" + host + "/")) << link.address;
        const std::string tail = link.address.substr(("https://" + host + "/").size());
        EXPECT_TRUE(tail.starts_with(c.tail)) << link.address;
        // Fixed texts are written for an address already: no blanks.
        EXPECT_EQ(tail.find(' '), std::string::npos) << link.address;
    }
    EXPECT_EQ(hosts.size(), 7u) << "each button has its own service";
    const std::string title = links[3].address.substr(links[3].address.find("&title="));
    for (std::size_t i = 4; i < 7; ++i) {
        EXPECT_TRUE(links[i].address.ends_with(title)) << "the same title everywhere";
    }
}

TEST(ProductLinks, MenusHaveTheirEntries) {
    const auto related = RelatedSoftwareLinks();
    ASSERT_EQ(related.size(), 7u);
    EXPECT_EQ(related.back().caption, "More .. ");
    const auto freeware = FreewareDownloadLinks();
    ASSERT_EQ(freeware.size(), 6u);
    bool thisProductListed = false;
    for (const auto& link : freeware) {
        thisProductListed |= std::string(link.caption) + " " == kProductName;
    }
    EXPECT_TRUE(thisProductListed);
    std::set<std::string_view> addresses{HelpPageUrl()};
    for (const auto& link : related) {
        addresses.insert(link.address);
    }
    for (const auto& link : freeware) {
        addresses.insert(link.address);
    }
    EXPECT_EQ(addresses.size(), 14u) << "every entry opens a page of its own";
    for (const auto address : addresses) {
        EXPECT_TRUE(address.starts_with("https://")) << address;
    }
}

}  // namespace
}  // namespace tavrin
