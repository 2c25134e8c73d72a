#pragma once

namespace tesmira {

// The category of a log line. It decides where the line goes (console, log
// file) and is written after the time prefix. Any value outside 0..5 is
// written as "Msg" and routed like Msg.
enum LogCategory { Init = 0, Error = 1, Warn = 2, Read = 3, Write = 4, Debug = 5, Msg = 6 };

}
