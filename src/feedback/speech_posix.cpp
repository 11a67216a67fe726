#include "app/config.h"
#include "app/version.h"
#include "feedback/speech.h"

namespace twr {

// The native build carries no controller client and loads none.
Speech::Platform Speech::Host() {
    return Platform{
        kArchName,
        Config::AppFolder(),
        [](std::string_view) -> std::optional<std::string_view> { return std::nullopt; },
        [] { return Config::AppDataDir(); },
        [](const Candidate&) -> std::optional<Client> { return std::nullopt; },
    };
}

}  // namespace twr
