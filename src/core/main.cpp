#include "core/Startup.h"

int main(int argc, char** argv) { return tesmira::Main(argc, argv); }
