// Texts shown to the user are looked up with their English text as the key;
// an untranslated text shows as its key. The desktop application installs a
// translator (Qt's) behind this; the core and the CLI use the keys as they are.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace strellbox {

using Translator = std::function<std::string(std::string_view english)>;

std::string Localized(std::string_view english);
void SetTranslator(Translator translator);

}  // namespace strellbox
