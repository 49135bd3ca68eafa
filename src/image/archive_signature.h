// Signed update archives, in a daemon built with trusted keys
// (UPDATE_SIGNED_ARCHIVES): the start request takes only an archive signed
// by one of them, and the image writer writes only the software image that
// was verified then.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

// Forgets the software image of an earlier start request.
void forgetVerifiedSoftware();
// Checks the signature sub-images of an archive of length bytes whose
// table (count entries, package and software image inside the file) has
// been checked. True when one is by a trusted key and matches the package
// and the software image; the software image's SHA-512 is kept then.
// Otherwise the reason is logged and kept for the start reply.
bool checkArchiveSignature(const uint8_t* archive, size_t length, uint32_t count);
// The reason of the last refusal, one line with its newline; nullptr when
// the last start request's archive was not refused for its signature.
const char* archiveRejection();
// True when the software image of size bytes is the one verified at the
// start request; otherwise the fault is logged.
bool checkVerifiedSoftware(const uint8_t* image, uint32_t size);

}  // namespace upd
