#pragma once

#include <initializer_list>

namespace tesmira {

// The channel a bus process addresses within its module: processes 1..32,
// 33..64 and 65..96 count channels 1..32 each, 97..103 channels 1..7. 0 for
// a process outside these blocks (the module-wide and special processes).
// The system scan maps replies with it; the default database's builder
// checks with it that each channel of a multi-channel type is reached.
constexpr int ChannelOfProcessBlock(int process)
{
  for (int base : {96, 64, 32, 0})
    if (process > base && process <= base + (base == 96 ? 7 : 32))
      return process - base;
  return 0;
}

} // namespace tesmira
