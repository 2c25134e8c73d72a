#include "Startup.h"

// tesmirad: the server without windows, for service managers and machines
// without a display. It links no GUI library.
int main(int argc, char** argv) { return tesmira::Main(argc, argv, "tesmirad", nullptr); }
