// Request numbers of the board's device nodes, in one place.
//
// They are built with the kernel's own encoding macros, so a build for the
// target (PowerPC, where direction sits in the top three bits and the size
// field has 13 bits) gets the target's values and a build on the host gets
// the host's encoding of the same requests. The daemon and the simulated
// board both take them from here.
#pragma once

#include <sys/ioctl.h>

#include <cstdint>

namespace devreq {

struct FlashInfoRecord { uint32_t words[6]; };        // 24 bytes
struct FlashRegionRecord { uint32_t words[3]; };      // 12 bytes
struct FlashEraseRecord { uint32_t start, length; };  // 8 bytes

// /dev/flash0
constexpr unsigned long FLASH_GET_INFO = _IOR('F', 1, FlashInfoRecord);
constexpr unsigned long FLASH_GET_REGIONS = _IOR('F', 2, FlashRegionRecord);
constexpr unsigned long FLASH_ERASE = _IOW('F', 3, FlashEraseRecord);

// /dev/led
constexpr unsigned long LED_GET_STATE = _IOR('L', 1, uint32_t);
constexpr unsigned long LED_SET_MODE = _IOR('L', 2, uint32_t);
constexpr unsigned long LED_SET_PERIOD = _IOR('L', 3, uint32_t);

// /dev/etxhwif: restart the Bluetooth module
constexpr unsigned long HWIF_RESET_MODULE = _IO('E', 2);

// /dev/bcspRel2 set-up, issued in this order after each open
constexpr unsigned long BCSP_SET_1 = _IOW('H', 1, int);  // argument: int 3
constexpr unsigned long BCSP_SET_4 = _IOW('H', 4, int);  // argument: int 0x1018
constexpr unsigned long BCSP_SET_8 = _IO('H', 8);
constexpr unsigned long BCSP_SET_5 = _IO('H', 5);

#if defined(__powerpc__) && !defined(__powerpc64__)
static_assert(FLASH_GET_INFO == 0x40184601UL, "target value");
static_assert(FLASH_GET_REGIONS == 0x400C4602UL, "target value");
static_assert(FLASH_ERASE == 0x80084603UL, "target value");
static_assert(LED_GET_STATE == 0x40044C01UL, "target value");
static_assert(LED_SET_MODE == 0x40044C02UL, "target value");
static_assert(LED_SET_PERIOD == 0x40044C03UL, "target value");
static_assert(HWIF_RESET_MODULE == 0x20004502UL, "target value");
static_assert(BCSP_SET_1 == 0x80044801UL, "target value");
static_assert(BCSP_SET_4 == 0x80044804UL, "target value");
static_assert(BCSP_SET_8 == 0x20004808UL, "target value");
static_assert(BCSP_SET_5 == 0x20004805UL, "target value");
#endif

}  // namespace devreq
