// Prints every earcon's sample count and digest from the Windows build, for comparison with the
// native build's helper under Wine.
#include "../../tests/helpers/earcon_digest.h"

int main() { return twr::earcon_digest::Print(); }
