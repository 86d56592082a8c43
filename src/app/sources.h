// Where scan requests come from besides drops: the browser caches that the
// menu offers.
#pragma once

namespace strellbox {

struct BrowserCache {
  const char* title;   // the menu item's title and the key the action matches
  const char* folder;  // "~" stands for the home folder
};

// In the order they are tested and added to the menu. Safari, Internet
// Explorer and OmniWeb keep no cache on Linux; they get an item only when
// their folder exists.
inline constexpr BrowserCache kBrowserCaches[] = {
    {"Safari", "~/Library/Caches/Safari"},
    {"Internet Explorer", "~/Library/Caches/MS Internet Cache"},
    {"Mozilla", "~/.mozilla"},
    {"Firefox", "~/.cache/mozilla/firefox"},
    {"OmniWeb", "~/Library/Caches/com.omnigroup.OmniWeb5"},
    {"Chromium", "~/.cache/chromium"},
    {"Google Chrome", "~/.cache/google-chrome"},
};

}  // namespace strellbox
