// A stand-in agent that reports how it was started: its arguments (argv[0] first),
// then the values of the seven configuration variables, each ended by a NUL byte
// ("<unset>" for a variable that is missing).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

int main(int argc, char** argv)
{
    const auto put = [](const char* text) {
        std::fwrite(text, 1, std::strlen(text) + 1, stdout);
    };
    for (int i = 0; i < argc; ++i) {
        put(argv[i]);
    }
    for (const char* key :
         {"HALVENIX_DEVICE_ID", "HALVENIX_JWT_SECRET", "HALVENIX_RELAY_SERVER_TOKEN", "HALVENIX_RELAY_CLIENT_TOKEN",
          "HALVENIX_RELAY_URL", "HALVENIX_PORT", "HALVENIX_ALLOWED_PATHS"}) {
        const char* value = std::getenv(key);
        put(value != nullptr ? value : "<unset>");
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
