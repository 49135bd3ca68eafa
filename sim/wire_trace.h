// The readable module trace: board/wire.txt beside the raw board/wire.log,
// one line per packet with its time, node, direction and decoded content.
//
// Lines of board/wire.log:
//   HH:MM:SS.mmm D NODE XX XX ...       a packet ('>' to the module, '<' from it)
//   HH:MM:SS.mmm > NODE ioctl H1 ARG RESULT
//                                       a set-up request of the BCSP node
//                                       (type 'H', number 1; ARG its int or "-")
//   HH:MM:SS.mmm ! NODE TEXT            a note of the board (a module restart)
#pragma once

#include <string>

namespace sim {
namespace wiretrace {

// The board/wire.txt line (without its line end) for one board/wire.log line.
std::string decodeLine(const std::string& rawLine);
// A whole board/wire.log decoded, one line each.
std::string decodeLog(const std::string& rawLog);

}  // namespace wiretrace
}  // namespace sim
