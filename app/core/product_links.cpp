#include "app/core/product_links.h"

namespace tavrin {

namespace {

constexpr TMenuLink kRelatedSoftware[] = {
    {"Tavrin Transcode", "https://tavrin.org/transcode/"},
    {"Tavrin Probe", "https://tavrin.org/probe/"},
    {"Tavrin Play", "https://tavrin.org/play/"},
    {"Tavrin Merge for the terminal", "https://tavrin.org/merge/"},
    {"Tavrin Media Library", "https://tavrin.org/media-library/"},
    {"Tavrin Source Code", "https://tavrin.org/source/"},
    {"More .. ", "https://tavrin.org/software/"},
};

constexpr TMenuLink kFreewareDownloads[] = {
    {"Tavrin Free", "https://tavrin.org/download/tavrin-free/"},
    {"Tavrin Transcode", "https://tavrin.org/download/transcode/"},
    {"Tavrin Probe", "https://tavrin.org/download/probe/"},
    {"Tavrin Play", "https://tavrin.org/download/play/"},
    {"Tavrin Merge for the terminal", "https://tavrin.org/download/merge/"},
    {"Tavrin Media Library", "https://tavrin.org/download/media-library/"},
};

constexpr std::string_view kShareTitle =
    "Tavrin%20Free%20-%20merge%20a%20video%20with%20your%20songs";
constexpr std::string_view kSharePromotion =
    "Tavrin%20Free%20puts%20your%20songs%20under%20your%20video%20-%20free%20for%20Linux";

}  // namespace

std::span<const TMenuLink> RelatedSoftwareLinks() {
    return kRelatedSoftware;
}

std::span<const TMenuLink> FreewareDownloadLinks() {
    return kFreewareDownloads;
}

std::string_view HelpPageUrl() {
    return "https://tavrin.org/help/";
}

std::vector<TShareLink> ShareLinks(std::string_view productPageUrl) {
    const std::string page(productPageUrl);
    const std::string title(kShareTitle);
    // Delicious and StumbleUpon have closed, and Twitter is X now: those
    // places hold live services that take the same address form, named as
    // what they open.
    return {
        {"Facebook", "https://www.facebook.com/share.php?u=" + page},
        {"Google Classroom", "https://classroom.google.com/share?url=" + page},
        {"X (Twitter)",
         "https://x.com/intent/tweet?source=webclient&text=" + std::string(kSharePromotion)},
        {"Diigo", "https://www.diigo.com/post?url=" + page + "&title=" + title},
        {"Digg", "https://digg.com/submit?phase=2&url=" + page + "&title=" + title},
        {"Hacker News", "https://news.ycombinator.com/submit?url=" + page + "&title=" + title},
        {"Reddit", "https://www.reddit.com/submit?url=" + page + "&title=" + title},
    };
}

}  // namespace tavrin
