// update_image: builds, checks and inspects update archives for the update
// daemon, refusing what would fail or do harm on the device.
//
//   update_image create --package DIR --software FILE -o ARCHIVE [...]
//   update_image wrap --software FILE -o IMAGE [...]
//   update_image check [--package DIR] [--software FILE] [--json]
//   update_image verify ARCHIVE [--key PUB.pem] [--json]
//   update_image list ARCHIVE [--key PUB.pem] [--json]
//   update_image sign ARCHIVE (--key KEY.pem | --message-out FILE |
//                              --signature FILE --key PUB.pem) [-o SIGNED]
//   update_image extract ARCHIVE -o DIR
//
// Exit status: 0 good, 1 bad (findings named), 2 usage or file error.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "image/image_format.h"
#include "update_image/archive_scan.h"
#include "update_image/daemon_facts.h"
#include "update_image/file_io.h"
#include "update_image/report.h"
#include "update_image/signature.h"
#include "update_image/tar_gzip.h"

namespace {

using namespace updimage;

constexpr const char* program = "update_image";
constexpr const char* defaultArchiveName = "LAP update archive";
constexpr const char* defaultSoftwareName = "Linux LAP software";
constexpr const char* softwareFileName = "software.img";  // what extract writes

// The flash sizes a software image is judged against unless --flash-size
// names others: the daemon takes whatever size the flash reports; the
// boards it runs on carry 2 MiB (the layout it assumes when the flash
// cannot tell) or 4 MiB.
constexpr uint64_t MiB = 1u << 20;
static_assert(defaultFlashSize == 2 * MiB, "the daemon's default layout is that of 2 MiB");
const FlashSizes boardFlashSizes = {2 * MiB, 4 * MiB};
// The layout's offsets are signed 32-bit values.
constexpr uint64_t largestFlashMiB = 2047;

// A usage error (status 2, with a pointer to the help) or a file that
// cannot be read or written (status 2).
struct Failure {
  std::string message;
  std::string helpHint;  // "" for a file error
};

// --- commands and their help -------------------------------------------

struct Command {
  const char* name;
  const char* summary;
  std::vector<cli::OptionSpec> options;
  const char* usage;
  const char* help;
  int (*run)(const cli::Arguments& args);
};

int createCommand(const cli::Arguments& args);
int wrapCommand(const cli::Arguments& args);
int checkCommand(const cli::Arguments& args);
int verifyCommand(const cli::Arguments& args);
int listCommand(const cli::Arguments& args);
int extractCommand(const cli::Arguments& args);
int signCommand(const cli::Arguments& args);

const cli::OptionSpec flashOption = {"--flash-size", "MIB,..."};
const char* const flashHelp =
    "  --flash-size MIB,...   flash sizes in MiB to judge the software image against\n"
    "                         (default 2,4: the flash sizes of the boards)\n";

const Command commands[] = {
    {"create",
     "build an update archive from a package folder and a software image",
     {{"--package", "DIR"},
      {"--software", "FILE"},
      {"-o", "ARCHIVE"},
      {"--output", "ARCHIVE"},
      {"--name", "NAME"},
      {"--software-name", "NAME"},
      {"--sign-key", "KEY.pem"},
      flashOption},
     "create --package DIR --software FILE -o ARCHIVE [--name NAME]\n"
     "                           [--software-name NAME] [--sign-key KEY.pem] [--flash-size MIB,...]",
     "Builds an update archive: sub-image 0 a line naming it, 1 the package (the files\n"
     "of DIR as update.d/ in a gzip-compressed tar), 2 the software image. The package\n"
     "and the software image are checked first; any error refuses the archive.\n"
     "  --package DIR          the package folder: updatetodo.txt and what its steps need\n"
     "  --software FILE        the software image: a file to wrap, or an image with its header\n"
     "  -o, --output ARCHIVE   the archive to write (not inside DIR, not FILE)\n"
     "  --name NAME            the archive's name (default \"LAP update archive\")\n"
     "  --software-name NAME   the name FILE is wrapped with; begins with \"Linux\"\n"
     "                         (default \"Linux LAP software\")\n"
     "  --sign-key KEY.pem     sign the archive with this Ed25519 private key\n",
     createCommand},
    {"wrap",
     "wrap a software image in its own header",
     {{"--software", "FILE"},
      {"-o", "IMAGE"},
      {"--output", "IMAGE"},
      {"--name", "NAME"},
      flashOption},
     "wrap --software FILE -o IMAGE [--name NAME] [--flash-size MIB,...]",
     "Wraps a software image in its own header (single image) and checks it.\n"
     "  --software FILE        the software image\n"
     "  -o, --output IMAGE     the image to write (not FILE)\n"
     "  --name NAME            the image's name; begins with \"Linux\" (default \"Linux LAP "
     "software\")\n",
     wrapCommand},
    {"check",
     "check a package folder or a software image; writes nothing",
     {{"--package", "DIR"}, {"--software", "FILE"}, {"--json", nullptr}, flashOption},
     "check [--package DIR] [--software FILE] [--json] [--flash-size MIB,...]",
     "Checks a package folder and/or a software image as create would, and writes nothing.\n"
     "  --package DIR          the package folder\n"
     "  --software FILE        the software image (wrapped or not)\n"
     "  --json                 the findings and verdict as JSON\n",
     checkCommand},
    {"verify",
     "check an archive as the device will take it",
     {{"--json", nullptr}, {"--key", "PUB.pem"}, flashOption},
     "verify ARCHIVE [--key PUB.pem] [--json] [--flash-size MIB,...]",
     "Checks an archive as the device will take it: header, checksums, sub-image table,\n"
     "the package unpacked and checked, the software image. Prints the findings and the\n"
     "verdict.\n"
     "  --key PUB.pem          also the signature, as a device trusting this key checks it\n"
     "  --json                 the findings and verdict as JSON\n",
     verifyCommand},
    {"list",
     "show everything an archive holds (--json for scripts)",
     {{"--json", nullptr}, {"--key", "PUB.pem"}, flashOption},
     "list ARCHIVE [--key PUB.pem] [--json] [--flash-size MIB,...]",
     "Shows what an archive (or a single wrapped image) holds: the header fields by name,\n"
     "the sub-image table with roles, each checksum's verdict, the flash sizes the software\n"
     "image fits, the package's files, plan and versions; then the findings and verdict.\n"
     "  --key PUB.pem          each signature's verdict for this key\n"
     "  --json                 the same as JSON\n",
     listCommand},
    {"sign",
     "sign an archive, or write the bytes to sign and take the signature back",
     {{"--key", "KEY.pem"}, {"--message-out", "FILE"}, {"--signature", "FILE"}, {"-o", "SIGNED"},
      {"--output", "SIGNED"}},
     "sign ARCHIVE --key KEY.pem -o SIGNED\n"
     "       update_image sign ARCHIVE --message-out FILE\n"
     "       update_image sign ARCHIVE --signature FILE --key PUB.pem -o SIGNED",
     "Adds an Ed25519 signature sub-image before the software image (an earlier one by\n"
     "the same key is replaced; those of other keys stay). The archive must verify.\n"
     "  --key KEY.pem          the private key to sign with; with --signature the\n"
     "                         public key the signature was made with\n"
     "  --message-out FILE     write exactly the bytes to sign, for a key kept elsewhere\n"
     "                         (openssl pkeyutl -sign -rawin -inkey KEY -in FILE)\n"
     "  --signature FILE       the 64-byte signature of those bytes, checked and added\n"
     "  -o, --output SIGNED    the signed archive to write\n",
     signCommand},
    {"extract",
     "unpack an archive's package files and software image",
     {{"-o", "DIR"}, {"--output", "DIR"}},
     "extract ARCHIVE -o DIR",
     "Writes what a device would get: DIR/update.d/ with the package's files and their\n"
     "modes, and DIR/software.img, the software image as it goes to flash. DIR must not\n"
     "exist or be empty. An archive whose header, checksums or package cannot be read\n"
     "leaves nothing behind.\n"
     "  -o, --output DIR       the folder to create\n",
     extractCommand},
};

void printMainHelp() {
  std::printf(
      "usage: update_image COMMAND [OPTIONS]\n"
      "Builds, checks and inspects update archives for the update daemon.\n\n"
      "Commands:\n");
  for (const Command& c : commands) std::printf("  %-9s %s\n", c.name, c.summary);
  std::printf(
      "  %-9s this help, or a command's\n\n"
      "'update_image COMMAND --help' shows a command's options. Every command takes\n"
      "-h/--help and --version; options take their value as --opt VALUE or --opt=VALUE.\n"
      "Exit status: 0 good; 1 bad (the input would fail on the device; each finding\n"
      "named with its file and line); 2 usage error, or a file that cannot be read or\n"
      "written.\n"
      "Environment: SOURCE_DATE_EPOCH, the time stamp create and wrap write (seconds\n"
      "since 1970; default 0), so that the same inputs give the same bytes.\n",
      "help");
}

void printCommandHelp(const Command& c) {
  std::printf("usage: update_image %s\n%s%s  -h, --help             this help\n", c.usage, c.help,
              c.options.size() > 0 && std::strcmp(c.options.back().name, flashOption.name) == 0
                  ? flashHelp
                  : "");
  std::printf("Exit status: 0 good, 1 bad, 2 usage or file error.\n");
}

const Command* findCommand(const std::string& name) {
  for (const Command& c : commands)
    if (name == c.name) return &c;
  return nullptr;
}

// --- arguments ---------------------------------------------------------

[[noreturn]] void usageFailure(const std::string& command, const std::string& message) {
  throw Failure{message, std::string(program) + " " + command + " --help"};
}

[[noreturn]] void fileFailure(const std::string& message) { throw Failure{message, ""}; }

std::string required(const cli::Arguments& args, const std::string& command,
                     const std::string& option, const char* valueName) {
  if (!args.has(option)) usageFailure(command, option + " " + valueName + " is required");
  if (args.value(option).empty()) usageFailure(command, option + " needs a value");
  return args.value(option);
}

std::string output(const cli::Arguments& args, const std::string& command, const char* valueName) {
  if (args.has("-o") && args.has("--output")) usageFailure(command, "-o and --output both given");
  if (args.has("--output")) return required(args, command, "--output", valueName);
  return required(args, command, "-o", valueName);
}

std::string onlyPositional(const cli::Arguments& args, const std::string& command) {
  if (args.positional.size() != 1)
    usageFailure(command, args.positional.empty() ? "ARCHIVE is required"
                                                  : "unexpected argument " + args.positional[1]);
  return args.positional[0];
}

void noPositional(const cli::Arguments& args, const std::string& command) {
  if (!args.positional.empty()) usageFailure(command, "unexpected argument " + args.positional[0]);
}

FlashSizes flashSizes(const cli::Arguments& args, const std::string& command) {
  if (!args.has(flashOption.name)) return boardFlashSizes;
  FlashSizes sizes;
  const std::string list = args.value(flashOption.name) + ",";
  size_t start = 0;
  for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1) {
    const std::string item = list.substr(start, comma - start);
    char* end = nullptr;
    unsigned long mib = std::strtoul(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || mib == 0 || mib > largestFlashMiB)
      usageFailure(command, "--flash-size takes sizes in MiB from 1 to " +
                                std::to_string(largestFlashMiB) + ", not \"" + item + "\"");
    sizes.push_back(mib * MiB);
  }
  return sizes;
}

// The time stamp of everything create and wrap write.
uint32_t buildTime() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch == '\0') return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(epoch, &end, 10);
  if (*end != '\0' || errno != 0 || value > UINT32_MAX || epoch[0] == '-')
    throw Failure{std::string("SOURCE_DATE_EPOCH \"") + epoch +
                      "\" is not a time stamp (seconds since 1970, at most " +
                      std::to_string(UINT32_MAX) + ")",
                  ""};
  return static_cast<uint32_t>(value);
}

std::string checkedName(const cli::Arguments& args, const std::string& command,
                        const std::string& option, const char* fallback, bool software) {
  const std::string name = args.has(option) ? args.value(option) : fallback;
  if (name.size() > nameSize)
    usageFailure(command, option + " \"" + name + "\" is longer than " + std::to_string(nameSize) +
                              " bytes");
  if (software && name.compare(0, std::strlen(softwareNamePrefix), softwareNamePrefix) != 0)
    usageFailure(command, option + " \"" + name + "\" does not begin with \"" + softwareNamePrefix +
                              "\"; the daemon would not write the image");
  return name;
}

// --- files -------------------------------------------------------------

Bytes readWholeFile(const std::string& path) {
  std::string bytes;
  std::string error;
  if (!readFileStart(path, SIZE_MAX, &bytes, &error)) fileFailure(error);
  return Bytes(bytes.begin(), bytes.end());
}

void readKeyOrFail(const std::string& path, bool privateNeeded, SigningKey* key) {
  std::string error;
  if (!readKey(path, privateNeeded, key, &error)) fileFailure(error);
}

// The archive with its signature by key added.
Bytes signedArchive(const Bytes& archive, const SigningKey& key) {
  Bytes signature;
  std::string error;
  if (!signMessage(key, signedMessage(archive), &signature, &error)) fileFailure(error);
  return withSignature(archive, key.publicKey, signature);
}

void writeOrFail(const std::string& path, const Bytes& bytes) {
  std::string error;
  if (!writeWholeFile(path, bytes.data(), bytes.size(), &error)) fileFailure(error);
}

// The software image from FILE: an image with its header is taken as it
// is, anything else is wrapped under name. Its findings name FILE; nothing
// is read of a file too large for any flash.
void softwareImage(const std::string& path, const std::string& name, bool nameGiven,
                   const FlashSizes& flash, uint32_t time, Bytes* image, Findings* findings) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) fileFailure(cli::fileError(path, errno));
  if (!S_ISREG(st.st_mode)) {
    addFinding(findings, Severity::Error, path, 0,
               S_ISDIR(st.st_mode) ? "is a folder, not a software image" : "is not a regular file");
    return;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::string head;
  std::string error;
  if (!readFileStart(path, headerSize, &head, &error)) fileFailure(error);
  const bool hasHeader =
      head.size() == headerSize &&
      examineImage(reinterpret_cast<const uint8_t*>(head.data()), headerSize).magicGood();
  const size_t before = findings->size();
  checkImageSize(hasHeader ? size : size + headerSize, flash, path, findings);
  if (findings->size() != before) return;

  Bytes content = readWholeFile(path);
  if (hasHeader) {
    *image = std::move(content);
    const ImageReport report = examineImage(image->data(), image->size());
    if (nameGiven && report.header.name != name)
      addFinding(findings, Severity::Warning, path, 0,
                 "already an image; its name \"" + report.header.name + "\" is kept");
  } else {
    *image = makeImage(content, singleImageType, name, time);
  }
  checkSoftwareImage(examineImage(image->data(), image->size()), flash, path, findings);
}

// The checked package folder; findings name DIR/FILE.
PackageReport packageFolder(const std::string& folder, Findings* findings) {
  std::vector<PackageEntry> entries;
  std::string error;
  if (!readPackageFolder(folder, &entries, &error)) fileFailure(error);
  PackageReport report = checkPackage(std::move(entries));
  for (Finding f : report.findings) {
    f.file = f.file.empty() ? folder : folder + "/" + f.file;
    findings->push_back(f);
  }
  return report;
}

std::string fitsText(uint64_t size, const FlashSizes& flash) {
  std::string text;
  for (uint64_t f : flash)
    if (fitsFlash(size, f)) text += (text.empty() ? "" : ", ") + std::to_string(f >> 20) + " MiB";
  return "fits a flash of " + text;
}

// The package: the folder itself and its files under update.d/, each file
// 0755 when its owner may run it and 0644 otherwise, so that neither the
// umask nor the checkout changes the bytes.
Bytes packageBytes(const std::string& folder, const PackageReport& package, uint32_t time) {
  const std::string prefix = packageMemberPrefix();
  std::vector<std::pair<TarMember, Bytes>> members;
  TarMember root;
  root.name = prefix;
  root.type = '5';
  root.mode = 0755;
  root.time = time;
  members.emplace_back(root, Bytes());
  for (const PackageEntry& entry : package.entries) {
    TarMember member;
    member.name = prefix + entry.name;
    member.mode = (entry.mode & 0100) ? 0755 : 0644;
    member.time = time;
    members.emplace_back(member, readWholeFile(folder + "/" + entry.name));
  }
  Bytes gzip;
  std::string error;
  if (!writePackage(members, &gzip, &error)) fileFailure("cannot pack the package: " + error);
  return gzip;
}

// --- the commands ------------------------------------------------------

int refused(const std::string& what, const Findings& findings) {
  printFindings(stderr, std::string(program) + ": ", findings);
  if (hasErrors(findings)) {
    std::fprintf(stderr, "%s: %s not written\n", program, what.c_str());
    return cli::exitBad;
  }
  return cli::exitGood;
}

int createCommand(const cli::Arguments& args) {
  const std::string command = "create";
  noPositional(args, command);
  const std::string folder = required(args, command, "--package", "DIR");
  const std::string software = required(args, command, "--software", "FILE");
  const std::string out = output(args, command, "ARCHIVE");
  const std::string name = checkedName(args, command, "--name", defaultArchiveName, false);
  const std::string softwareName =
      checkedName(args, command, "--software-name", defaultSoftwareName, true);
  const FlashSizes flash = flashSizes(args, command);
  const uint32_t time = buildTime();
  SigningKey key;
  const bool sign = args.has("--sign-key");
  if (sign) readKeyOrFail(required(args, command, "--sign-key", "KEY.pem"), true, &key);
  if (liesInside(out, folder))
    usageFailure(command, "-o " + out + " lies inside the package folder " + folder +
                              "; the next create would pack it into the package");
  if (sameFile(out, software))
    usageFailure(command, "-o " + out + " is the software image " + software);

  Findings findings;
  const PackageReport package = packageFolder(folder, &findings);
  Bytes image;
  softwareImage(software, softwareName, args.has("--software-name"), flash, time, &image,
                &findings);
  if (refused(out, findings) != cli::exitGood) return cli::exitBad;

  const Bytes packed = packageBytes(folder, package, time);
  const std::string line = "update archive " + name + "\n";
  Bytes archive = makeImage(multiFileData({Bytes(line.begin(), line.end()), packed, image}),
                            multiImageType, name, time);
  if (sign) archive = signedArchive(archive, key);
  // What was built is read back as verify reads it.
  const ArchiveReport check = scanArchiveBytes(archive, flash);
  if (hasErrors(check.findings)) {
    printFindings(stderr, std::string(program) + ": built archive: ", check.findings);
    fileFailure(out + " not written: the archive built does not pass its own check");
  }
  writeOrFail(out, archive);
  std::printf("%s: %zu bytes; package %zu bytes (%zu files), software image %zu bytes, %s\n",
              out.c_str(), archive.size(), packed.size(), package.entries.size(), image.size(),
              fitsText(image.size(), flash).c_str());
  return cli::exitGood;
}

int wrapCommand(const cli::Arguments& args) {
  const std::string command = "wrap";
  noPositional(args, command);
  const std::string software = required(args, command, "--software", "FILE");
  const std::string out = output(args, command, "IMAGE");
  const std::string name = checkedName(args, command, "--name", defaultSoftwareName, true);
  const FlashSizes flash = flashSizes(args, command);
  const uint32_t time = buildTime();
  if (sameFile(out, software))
    usageFailure(command, "-o " + out + " is the software image " + software);
  Findings findings;
  Bytes image;
  softwareImage(software, name, args.has("--name"), flash, time, &image, &findings);
  if (refused(out, findings) != cli::exitGood) return cli::exitBad;
  writeOrFail(out, image);
  std::printf("%s: %zu bytes, name \"%s\", %s\n", out.c_str(), image.size(),
              examineImage(image.data(), image.size()).header.name.c_str(),
              fitsText(image.size(), flash).c_str());
  return cli::exitGood;
}

int checkCommand(const cli::Arguments& args) {
  const std::string command = "check";
  noPositional(args, command);
  if (!args.has("--package") && !args.has("--software"))
    usageFailure(command, "--package DIR or --software FILE is required");
  const FlashSizes flash = flashSizes(args, command);
  const bool json = args.has("--json");
  std::vector<CheckedPart> parts;
  bool bad = false;
  if (args.has("--package")) {
    CheckedPart part{"package", required(args, command, "--package", "DIR"), {}, 0, {}};
    packageFolder(part.file, &part.findings);
    if (!json) {
      printFindings(stdout, "", part.findings);
      std::printf("%s\n", verdictText(part.file, part.findings).c_str());
    }
    bad |= hasErrors(part.findings);
    parts.push_back(part);
  }
  if (args.has("--software")) {
    CheckedPart part{"software_image", required(args, command, "--software", "FILE"), {}, 0, {}};
    Bytes image;
    softwareImage(part.file, defaultSoftwareName, false, flash, 0, &image, &part.findings);
    if (!hasErrors(part.findings)) {
      part.size = image.size();
      for (uint64_t f : flash)
        if (fitsFlash(image.size(), f)) part.fits.push_back(f);
    }
    if (!json) {
      printFindings(stdout, "", part.findings);
      std::string verdict = verdictText(part.file, part.findings);
      if (!hasErrors(part.findings)) verdict += ", " + fitsText(image.size(), flash);
      std::printf("%s\n", verdict.c_str());
    }
    bad |= hasErrors(part.findings);
    parts.push_back(part);
  }
  if (json) printCheckJson(parts);
  return bad ? cli::exitBad : cli::exitGood;
}

ArchiveReport scanOrFail(const std::string& path, const FlashSizes& flash, ExtractTarget* extract,
                         bool imageAllowed = false) {
  ArchiveReport report;
  std::string error;
  if (!scanArchiveFile(path, flash, extract, imageAllowed, &report, &error)) fileFailure(error);
  return report;
}

// Whether the table is one the daemon takes: package and software image
// inside the file.
bool goodTable(const ArchiveReport& r) {
  if (!r.multiFile || !r.tableTerminated || r.subImages.size() < 3 || !r.softwarePresent)
    return false;
  for (const SubImage& s : r.subImages)
    if (!s.inside) return false;
  return true;
}

// The signature sub-images of the archive at path; with --key the device's
// verdict is a finding when it refuses the archive.
void examineOrSkip(const cli::Arguments& args, const std::string& path, ArchiveReport* report) {
  SigningKey key;
  if (args.has("--key")) readKeyOrFail(required(args, "", "--key", "PUB.pem"), false, &key);
  if (!goodTable(*report)) return;
  report->signature = examineSignatures(readWholeFile(path), args.has("--key") ? &key : nullptr);
  report->signaturesExamined = true;
  for (const SignatureEntry& e : report->signature.signatures)
    report->subImages[e.index].role = "signature";
  if (!report->signature.deviceText.empty())
    addFinding(&report->findings, Severity::Error, "", 0, report->signature.deviceText);
}

int verifyCommand(const cli::Arguments& args) {
  const std::string path = onlyPositional(args, "verify");
  ArchiveReport report = scanOrFail(path, flashSizes(args, "verify"), nullptr);
  examineOrSkip(args, path, &report);
  if (args.has("--json")) {
    printVerifyJson(path, report);
  } else {
    printFindings(stdout, path + ": ", report.findings);
    std::printf("%s\n", verdictText(path, report.findings).c_str());
  }
  return hasErrors(report.findings) ? cli::exitBad : cli::exitGood;
}

int listCommand(const cli::Arguments& args) {
  const std::string path = onlyPositional(args, "list");
  const FlashSizes flash = flashSizes(args, "list");
  ArchiveReport report = scanOrFail(path, flash, nullptr, true);
  examineOrSkip(args, path, &report);
  if (args.has("--json"))
    printListingJson(path, report, flash);
  else
    printListing(path, report, flash);
  return hasErrors(report.findings) ? cli::exitBad : cli::exitGood;
}

// Writes the package's files and the software image below a folder; the
// first failure is kept and ends the writing.
class FolderWriter : public ExtractTarget {
 public:
  explicit FolderWriter(const std::string& folder) : folder_(folder) {
    if (::mkdir((folder_ + "/" + packageMemberPrefix()).c_str(), 0755) != 0)
      failed(folder_ + "/" + packageMemberPrefix());
  }

  void beginFile(const std::string& name, uint32_t mode) override {
    finishFile();
    file_.reset(new OutputFile);
    if (error.empty() &&
        !file_->open(folder_ + "/" + packageMemberPrefix() + name, mode & 0777, &error))
      file_.reset();
  }
  void fileData(const uint8_t* bytes, size_t length) override {
    if (file_ && error.empty()) file_->write(bytes, length, &error);
  }
  void softwareData(const uint8_t* bytes, size_t length) override {
    finishFile();
    if (!software_ && error.empty()) {
      software_.reset(new OutputFile);
      if (!software_->open(folder_ + "/" + softwareFileName, withUmask(0666), &error)) return;
    }
    if (software_ && error.empty()) software_->write(bytes, length, &error);
  }
  void finish() {
    finishFile();
    if (software_ && error.empty()) software_->commit(&error);
  }

  std::string error;

 private:
  void finishFile() {
    if (file_ && error.empty()) file_->commit(&error);
    file_.reset();
  }
  void failed(const std::string& path) { error = cli::fileError(path, errno); }

  std::string folder_;
  std::unique_ptr<OutputFile> file_;
  std::unique_ptr<OutputFile> software_;
};

int extractCommand(const cli::Arguments& args) {
  const std::string command = "extract";
  const std::string path = onlyPositional(args, command);
  const std::string out = output(args, command, "DIR");
  OutputFolder folder;
  std::string error;
  if (!folder.open(out, &error)) fileFailure(error);
  FolderWriter writer(folder.temporary());
  const ArchiveReport report = scanOrFail(path, boardFlashSizes, &writer);
  writer.finish();
  if (!writer.error.empty()) fileFailure(writer.error);
  printFindings(stdout, path + ": ", report.findings);
  std::printf("%s\n", verdictText(path, report.findings).c_str());
  const ImageReport& a = report.archive;
  const bool readable = a.magicGood() && a.headerCrcGood() && a.dataCrcGood() &&
                        report.packageRead && report.softwarePresent;
  if (!readable) {
    std::fprintf(stderr, "%s: %s: nothing extracted: the archive cannot be read whole\n", program,
                 path.c_str());
    return cli::exitBad;
  }
  if (!folder.commit(&error)) fileFailure(error);
  std::printf("%s: %zu package files in %s/%s, the software image in %s/%s\n", out.c_str(),
              report.package.entries.size(), out.c_str(), packageMemberPrefix().c_str(),
              out.c_str(), softwareFileName);
  return hasErrors(report.findings) ? cli::exitBad : cli::exitGood;
}

int signCommand(const cli::Arguments& args) {
  const std::string command = "sign";
  const std::string path = onlyPositional(args, command);
  const Bytes archive = readWholeFile(path);
  const ArchiveReport report = scanArchiveBytes(archive, boardFlashSizes);
  if (hasErrors(report.findings) || !goodTable(report)) {
    printFindings(stderr, std::string(program) + ": " + path + ": ", report.findings);
    std::fprintf(stderr, "%s: %s does not verify: not signed\n", program, path.c_str());
    return cli::exitBad;
  }
  if (args.has("--message-out")) {
    if (args.has("--key") || args.has("--signature") || args.has("-o") || args.has("--output"))
      usageFailure(command, "--message-out takes no other option");
    const std::string out = required(args, command, "--message-out", "FILE");
    writeOrFail(out, signedMessage(archive));
    std::printf("%s: the %zu bytes to sign of %s\n", out.c_str(), signedMessage(archive).size(),
                path.c_str());
    return cli::exitGood;
  }
  const std::string out = output(args, command, "SIGNED");
  SigningKey key;
  const bool given = args.has("--signature");
  readKeyOrFail(required(args, command, "--key", "KEY.pem"), !given, &key);
  Bytes signedBytes;
  if (given) {
    const Bytes signature = readWholeFile(required(args, command, "--signature", "FILE"));
    if (signature.size() != upd::signatureSize ||
        !verifyMessage(key.publicKey, signedMessage(archive), signature.data())) {
      std::fprintf(stderr, "%s: %s is not a signature of %s by key %s: not signed\n", program,
                   args.value("--signature").c_str(), path.c_str(),
                   keyIdText(key.publicKey).c_str());
      return cli::exitBad;
    }
    signedBytes = withSignature(archive, key.publicKey, signature);
  } else {
    signedBytes = signedArchive(archive, key);
  }
  writeOrFail(out, signedBytes);
  std::printf("%s: %zu bytes, signed by key %s\n", out.c_str(), signedBytes.size(),
              keyIdText(key.publicKey).c_str());
  return cli::exitGood;
}

int runCommand(const Command& command, int argc, char** argv) {
  cli::Arguments args;
  std::string error;
  switch (cli::parse(argc, argv, 2, command.options, &args, &error)) {
    case cli::Outcome::Help:
      printCommandHelp(command);
      return cli::exitGood;
    case cli::Outcome::Version:
      cli::printVersion(program);
      return cli::exitGood;
    case cli::Outcome::Usage:
      usageFailure(command.name, error);
    case cli::Outcome::Run:
      break;
  }
  return command.run(args);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mainHint = std::string(program) + " --help";
  try {
    if (argc < 2) throw Failure{"a command is required", mainHint};
    const std::string word = argv[1];
    if (word == "-h" || word == "--help") {
      printMainHelp();
      return cli::exitGood;
    }
    if (word == "--version") {
      cli::printVersion(program);
      return cli::exitGood;
    }
    if (word == "help") {
      if (argc == 2) {
        printMainHelp();
        return cli::exitGood;
      }
      const Command* command = findCommand(argv[2]);
      if (command == nullptr || argc > 3)
        throw Failure{std::string("no help for \"") + argv[2] + "\"", mainHint};
      printCommandHelp(*command);
      return cli::exitGood;
    }
    const Command* command = findCommand(word);
    if (command == nullptr) throw Failure{"unknown command \"" + word + "\"", mainHint};
    return runCommand(*command, argc, argv);
  } catch (const Failure& failure) {
    if (!failure.helpHint.empty())
      return cli::usageError(program, failure.message, failure.helpHint);
    std::fprintf(stderr, "%s: %s\n", program, failure.message.c_str());
    return cli::exitUsage;
  }
}
