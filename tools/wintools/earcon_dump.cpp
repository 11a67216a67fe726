// Prints every earcon's sample count and digest from the Windows build, for comparison with the
// native build's helper under Wine; "--time N" measures rendering the catalogue (earcon_digest.h).
#include "../../tests/helpers/earcon_digest.h"

int main(int argc, char** argv) { return twr::earcon_digest::Main(argc, argv); }
