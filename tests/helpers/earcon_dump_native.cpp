// Prints every earcon's sample count and digest from the native build (see earcon_digest.h).
#include "earcon_digest.h"

int main(int argc, char** argv) { return twr::earcon_digest::Main(argc, argv); }
