#include <string>

#include "app/console.h"
#include "app/program.h"
#include "app/version.h"
#include "feedback/speech.h"

namespace twr {

int Program::SpeechCheck(bool say) {
    Speech::Init();
    const std::string arch = kArchName;
    Console::WriteLine("Process architecture : " + arch);
    Console::WriteLine(std::string("Controller client    : ") + (Speech::IsBound() ? "loaded" : "NOT FOUND"));
    Console::WriteLine(std::string("NVDA running         : ") + (Speech::NvdaRunning() ? "yes" : "no"));
    Console::WriteLine("Backend              : " + Speech::Describe());
    if (!Speech::IsBound()) {
        Console::WriteLine("");
        Console::WriteLine("Place " + Speech::LibraryFileName(arch) + " next to this executable.");
        return 1;
    }
    if (say) {
        Console::WriteLine("");
        Console::WriteLine("Sending a test phrase to NVDA...");
        Speech::SpeakRaw("Tapewright speech test. If you can hear this, announcements are working.");
    }
    return Speech::NvdaRunning() ? 0 : 2;
}

}  // namespace twr
