// The Bluetooth module's device nodes on the simulated board:
//   /dev/cfUaB0    serial HCI in H4 framing; answers ready as POLLIN|POLLPRI;
//   /dev/bcspRel2  BCSP reliable channel with bare BCCMD messages, present
//                  once the three BCSP drivers are loaded; POLLIN alone;
//   /dev/etxhwif   hardware interface: its reset request restarts the module;
// and the board's "/bin/insmod", which loads the BCSP drivers.
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/device_requests.h"
#include "sim/devices.h"
#include "sim/power_cut.h"
#include "sim/virtual_module.h"

namespace sim {
namespace {

using namespace vmodule;

// One answer of the module waiting in a node until the host reads it.
struct Answer {
  std::vector<uint8_t> bytes;
  size_t taken = 0;     // bytes already read
  double readyAt = 0;   // now() seconds
  unsigned generation;  // module restarts drop older answers
};

// What both module nodes share: the queue of answers for this descriptor,
// readiness and reads.
struct ModuleNode : Device {
  ModuleNode(const char* nodeName, Link nodeLink, short nodeReadyEvents)
      : name(nodeName), link(nodeLink), ready(nodeReadyEvents) {}

  const char* name;
  Link link;
  short ready;
  std::deque<Answer> answers;

  void queue(std::vector<uint8_t> bytes) {
    Answer answer;
    answer.bytes = std::move(bytes);
    answer.readyAt = now() + vmodule::answerDelay();
    answer.generation = vmodule::generation();
    if (vmodule::answersTwice()) answers.push_back(answer);
    answers.push_back(std::move(answer));
  }

  void dropStale() {
    while (!answers.empty() && answers.front().generation != vmodule::generation())
      answers.pop_front();
  }

  // A power cut at this packet (power.cut = module_packet:N): the module
  // never gets it.
  void cutPowerAt() {
    if (power::count(power::Event::modulePacket) == power::At::goesOn) return;
    vmodule::traceNote("power cut: the packet to " + std::string(name) + " is lost");
    power::cut(std::string("a packet to the module on /dev/") + name + ", which it never got");
  }

  ssize_t read(void* buf, size_t n) override {
    dropStale();
    if (n == 0) return 0;
    if (answers.empty() || answers.front().readyAt > now()) {
      errno = EAGAIN;
      return -1;
    }
    Answer& front = answers.front();
    size_t count = front.bytes.size() - front.taken;
    if (count > n) count = n;
    std::memcpy(buf, front.bytes.data() + front.taken, count);
    vmodule::traceWire('<', name, front.bytes.data() + front.taken, count);
    front.taken += count;
    if (front.taken == front.bytes.size()) answers.pop_front();
    return static_cast<ssize_t>(count);
  }

  short readyEvents() override {
    dropStale();
    return (!answers.empty() && answers.front().readyAt <= now()) ? ready : 0;
  }

  double nextReadyTime() override {
    dropStale();
    return answers.empty() ? -1.0 : answers.front().readyAt;
  }
};

// /dev/cfUaB0: one write is one H4 command packet.
struct SerialNode : ModuleNode {
  SerialNode() : ModuleNode("cfUaB0", Link::serial, POLLIN | POLLPRI) {}

  void commandComplete(uint16_t opcode, uint8_t status) {
    queue({hciEventPacket, eventCommandComplete, 4, 1, static_cast<uint8_t>(opcode & 0xff),
           static_cast<uint8_t>(opcode >> 8), status});
  }

  ssize_t write(const void* buf, size_t n) override {
    if (n == 0) return 0;
    cutPowerAt();
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    vmodule::traceWire('>', name, bytes, n);
    // Anything but one whole command packet is line noise to the module.
    if (n < hciHeaderBytes || bytes[0] != hciCommandPacket || bytes[3] != n - hciHeaderBytes)
      return static_cast<ssize_t>(n);
    if (!vmodule::takesRequest(link)) return static_cast<ssize_t>(n);

    const uint16_t opcode = static_cast<uint16_t>(bytes[1] | (bytes[2] << 8));
    const uint8_t* params = bytes + hciHeaderBytes;
    const size_t paramLength = n - hciHeaderBytes;
    if (opcode == opcodeHciReset) {
      commandComplete(opcode, 0);
    } else if (opcode == opcodeVendor) {
      std::vector<uint8_t> response;
      if (paramLength >= 1 && params[0] == bccmdDescriptor &&
          vmodule::handleBccmd(params + 1, paramLength - 1, &response)) {
        if (settingOn("module.vendor_complete")) commandComplete(opcode, 0);
        // The response is as long as the request, so it fits the event's
        // one-byte parameter length as the request fitted the command's.
        std::vector<uint8_t> event = {hciEventPacket, eventVendor,
                                      static_cast<uint8_t>(response.size() + 1), bccmdDescriptor};
        event.insert(event.end(), response.begin(), response.end());
        queue(std::move(event));
      }
    } else {
      commandComplete(opcode, statusUnknownCommand);
    }
    return static_cast<ssize_t>(n);
  }
};

// /dev/bcspRel2: the four set-up requests first, then one write is one bare
// BCCMD message and one read one bare answer.
struct BcspNode : ModuleNode {
  BcspNode() : ModuleNode("bcspRel2", Link::bcsp, POLLIN) {}

  static constexpr unsigned long setupRequests[] = {devreq::BCSP_SET_1, devreq::BCSP_SET_4,
                                                    devreq::BCSP_SET_8, devreq::BCSP_SET_5};
  static constexpr size_t setupCount = sizeof setupRequests / sizeof setupRequests[0];
  size_t setupDone = 0;

  // Each set-up request is traced with its argument and outcome.
  int ioctl(unsigned long request, uintptr_t arg) override {
    size_t index = 0;
    while (index < setupCount && setupRequests[index] != request) ++index;
    if (index == setupCount) {
      errno = ENOTTY;
      return -1;
    }
    std::string argument = "-";
    int result = setUp(index, arg, &argument);
    int error = errno;
    vmodule::traceSetUp(name, request, argument,
                        result == 0 ? "ok" : std::string("refused: ") + std::strerror(error));
    errno = error;
    return result;
  }

  int setUp(size_t index, uintptr_t arg, std::string* argument) {
    const unsigned long request = setupRequests[index];
    const bool takesInt = request == devreq::BCSP_SET_1 || request == devreq::BCSP_SET_4;
    int value = 0;
    if (takesInt && arg != 0) {
      std::memcpy(&value, reinterpret_cast<const void*>(arg), sizeof value);
      *argument = std::to_string(value);
    }
    if (index != setupDone) {  // out of order or repeated
      errno = EINVAL;
      return -1;
    }
    if (settingInt("bcsp.refuse_ioctl", 0) == static_cast<long>(index + 1)) {
      errno = EIO;
      return -1;
    }
    if (takesInt && (arg == 0 || value != (request == devreq::BCSP_SET_1 ? 3 : 0x1018))) {
      errno = arg == 0 ? EFAULT : EINVAL;
      return -1;
    }
    ++setupDone;
    return 0;
  }

  ssize_t write(const void* buf, size_t n) override {
    if (setupDone < setupCount) {  // the link is not up yet
      errno = EIO;
      return -1;
    }
    if (n == 0) return 0;
    if (n > vmodule::maxMessageBytes) {
      errno = EMSGSIZE;
      return -1;
    }
    cutPowerAt();
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    vmodule::traceWire('>', name, bytes, n);
    if (!vmodule::takesRequest(link)) return static_cast<ssize_t>(n);
    std::vector<uint8_t> response;
    if (vmodule::handleBccmd(bytes, n, &response)) queue(std::move(response));
    return static_cast<ssize_t>(n);
  }
};

constexpr unsigned long BcspNode::setupRequests[];

// /dev/etxhwif: the module's reset line.
struct HwifNode : Device {
  int ioctl(unsigned long request, uintptr_t) override {
    if (request != devreq::HWIF_RESET_MODULE) {
      errno = ENOTTY;
      return -1;
    }
    vmodule::restart();
    return 0;
  }
};

// insmod's messages go to standard error as the real command's would.
int insmodFails(const std::string& message) {
  std::fprintf(stderr, "insmod: %s\n", message.c_str());
  return 1 << 8;  // exit status 1
}

int cannotRead(const std::string& path, const char* reason) {
  return insmodFails("can't read '" + path + "': " + reason);
}

int cannotInsert(const std::string& path, const char* reason) {
  return insmodFails("can't insert '" + path + "': " + reason);
}

}  // namespace

std::unique_ptr<Device> openSerialModuleNode(int, int*) {
  vmodule::ensureStarted();
  return std::make_unique<SerialNode>();
}

std::unique_ptr<Device> openBcspModuleNode(int, int* error) {
  if (!vmodule::bcspDriversLoaded()) {
    *error = ENOENT;
    return nullptr;
  }
  vmodule::ensureStarted();
  return std::make_unique<BcspNode>();
}

std::unique_ptr<Device> openHwifDevice(int, int*) {
  vmodule::ensureStarted();
  return std::make_unique<HwifNode>();
}

// "/bin/insmod FILE": loads a driver module file. The three BCSP drivers
// must come in their order (each needs the one before); a file already
// loaded is refused as the kernel refuses it. Loaded modules are listed in
// board/drivers.txt, one name per line.
int runInsmod(const char* arguments) {
  std::string path(arguments);
  path = path.substr(0, path.find_first_of(" \t"));
  if (path.empty()) return insmodFails("usage: insmod FILE");

  char mapped[4096];
  if (!mapPath(path.c_str(), mapped, sizeof mapped))
    return cannotRead(path, std::strerror(ENAMETOOLONG));
  FILE* file = std::fopen(mapped, "rb");
  if (file == nullptr) return cannotRead(path, std::strerror(errno));
  std::fclose(file);

  std::string name = path.substr(path.rfind('/') + 1);
  for (const char* suffix : {".ko", ".o"}) {
    size_t length = std::strlen(suffix);
    if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0) {
      name.erase(name.size() - length);
      break;
    }
  }
  std::vector<std::string> loaded = vmodule::loadedDrivers();
  auto isLoaded = [&loaded](const std::string& driver) {
    for (const std::string& entry : loaded)
      if (entry == driver) return true;
    return false;
  };
  if (isLoaded(name))
    return cannotInsert(path, std::strerror(EEXIST));
  for (size_t i = 1; i < vmodule::bcspDriverCount; ++i)
    if (name == vmodule::bcspDrivers[i] && !isLoaded(vmodule::bcspDrivers[i - 1]))
      return cannotInsert(path, "unknown symbol in module");

  FILE* list = std::fopen(boardPath("drivers.txt").c_str(), "a");
  if (list == nullptr)
    return cannotInsert(path, std::strerror(errno));
  std::fprintf(list, "%s\n", name.c_str());
  std::fclose(list);
  return 0;
}

}  // namespace sim
