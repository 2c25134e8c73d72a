#include "WindowFront.h"

// tesmira: the server with its main window when there is a display, and
// headless like tesmirad without one.
int main(int argc, char** argv)
{
  tesmira::WindowFront front;
  return tesmira::Main(argc, argv, "tesmira", &front);
}
