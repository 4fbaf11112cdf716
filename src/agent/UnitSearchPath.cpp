#include "agent/UnitSearchPath.h"

#include <algorithm>
#include <vector>

namespace kestrune {

namespace {

constexpr std::string_view userFolderEnd = "/systemd/user";

std::vector<std::string> showListWords(std::string_view text)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '\\' && i + 1 < text.size()) {
                word += text[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\n') {
            if (inWord) {
                words.push_back(std::move(word));
            }
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == '"') {
                quoted = true;
            } else {
                word += c;
            }
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

bool isSeparator(std::string_view text, std::size_t at)
{
    return at >= text.size() || text[at] == ' ' || text[at] == '\n';
}

// A reading of the answer: its words, and the text itself for a home split apart.
struct Answer {
    std::string_view text;
    std::vector<std::string> words;
    std::string home; // with its trailing slash
};

bool listsWord(const Answer& answer, const std::string& word)
{
    for (const std::string& listed : answer.words) {
        if (listed == word) {
            return true;
        }
    }
    for (std::size_t at = answer.text.find(word); at != std::string_view::npos; at = answer.text.find(word, at + 1)) {
        if ((at == 0 || isSeparator(answer.text, at - 1)) && isSeparator(answer.text, at + word.size())) {
            return true;
        }
    }
    return false;
}

// The system's folders are never the user's, nor is the manager's runtime folder: the
// one whose systemd/transient sibling is listed too (it is gone at reboot, with its
// units).
bool isUserFolder(const Answer& answer, const std::string& folder)
{
    for (const char* system : {"/etc/", "/usr/", "/run/", "/lib/"}) {
        if (folder.starts_with(system)) {
            return false;
        }
    }
    return folder.starts_with('/') && folder.ends_with(userFolderEnd) &&
           !listsWord(answer, folder.substr(0, folder.size() - 4) + "transient");
}

// Each place where a word begins with the home, up to the first /systemd/user that
// ends a word before the line or the next such place ends.
std::optional<std::string> unquotedUserFolder(const Answer& answer)
{
    const std::string_view text = answer.text;
    for (std::size_t at = text.find(answer.home); at != std::string_view::npos; at = text.find(answer.home, at + 1)) {
        if (at > 0 && !isSeparator(text, at - 1)) {
            continue;
        }
        const std::size_t limit = std::min({text.find('\n', at), text.find(" " + answer.home, at), text.size()});
        for (std::size_t end = text.find(userFolderEnd, at); end < limit; end = text.find(userFolderEnd, end + 1)) {
            if (isSeparator(text, end + userFolderEnd.size())) {
                const std::string folder(text.substr(at, end + userFolderEnd.size() - at));
                if (isUserFolder(answer, folder)) {
                    return folder;
                }
                break;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> userUnitFolder(std::string_view answer, const std::string& homeDirectory)
{
    const Answer reading{answer, showListWords(answer),
                         homeDirectory.ends_with('/') ? homeDirectory : homeDirectory + "/"};
    for (const std::string& folder : reading.words) {
        if (isUserFolder(reading, folder)) {
            return folder;
        }
    }
    return unquotedUserFolder(reading);
}

} // namespace kestrune
