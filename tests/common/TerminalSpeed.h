#pragma once
// The line rate a terminal (a pseudo-terminal standing for a serial line)
// has been set to, as the program under test left it.
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// The output speed set on a terminal (a termios speed code); 0 when unknown.
inline speed_t terminalSpeed(const QString& path)
{
  const int fd = ::open(QFile::encodeName(QFileInfo(path).canonicalFilePath()).constData(),
                        O_RDONLY | O_NOCTTY | O_NONBLOCK);
  termios t{};
  const bool read = fd >= 0 && tcgetattr(fd, &t) == 0;
  if (fd >= 0)
    ::close(fd);
  return read ? cfgetospeed(&t) : 0;
}
