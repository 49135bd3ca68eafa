// update_image: builds and inspects update archives for the update daemon.
//
//   update_image create --package DIR --software FILE -o ARCHIVE
//                       [--name NAME] [--software-name NAME]
//   update_image wrap --software FILE -o IMAGE [--name NAME]
//   update_image list ARCHIVE
//   update_image verify ARCHIVE
//
// create: packs the files of DIR (updatetodo.txt, VERSION, pskeyorig.psr and
// whatever else the update needs) into a gzip-compressed tar whose members
// are "update.d/<file>", wraps the software image FILE in its own header
// (single image, type 2, name beginning "Linux"; a FILE that already carries
// a good header is taken as it is), and writes the multi-file archive:
// sub-image 0 a short text naming the archive, 1 the package, 2 the software
// image. Both checksums of both headers are set; all fields are big-endian.
// wrap: only the software image step, written to IMAGE.
// list: every header field, the sub-image table and each checksum's verdict,
// for the archive and the software image inside it.
// verify: the same checks; exit status 0 when the daemon would take the
// archive, 1 with a message per fault when not.
// Exit status 2: a usage error or a file that cannot be read or written.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "update_image/archive_inspect.h"

namespace {

using updimage::Bytes;

constexpr const char* defaultArchiveName = "LAP update archive";
constexpr const char* defaultSoftwareName = "Linux LAP software";
// The image area of a 2 MiB flash: [0x20000, 0x1F0000).
constexpr uint64_t imageAreaOf2MiB = 0x1D0000;

struct Failure {
  std::string message;
};

int usage(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "update_image: %s\n", message);
  std::fprintf(stderr,
               "usage: update_image create --package DIR --software FILE -o ARCHIVE\n"
               "                           [--name NAME] [--software-name NAME]\n"
               "       update_image wrap --software FILE -o IMAGE [--name NAME]\n"
               "       update_image list ARCHIVE\n"
               "       update_image verify ARCHIVE\n");
  return 2;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{"cannot read " + path + ": " + std::strerror(errno)};
  std::ostringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  return Bytes(text.begin(), text.end());
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw Failure{"cannot write " + path};
}

// Runs a program with its arguments (no shell); true when it exits with 0.
bool run(const std::vector<std::string>& words) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "update_image: cannot run %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A scratch folder, removed with its content at the end.
struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/update_image.XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw Failure{"cannot create a scratch folder"};
    path = buffer.data();
  }
  ~ScratchFolder() { run({"rm", "-rf", "--", path}); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
};

bool isFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The package: DIR's files under update.d/, tar then gzip, owner root.
Bytes makePackage(const std::string& folder) {
  if (!isFolder(folder)) throw Failure{"package folder " + folder + " does not exist"};
  if (!isFile(folder + "/updatetodo.txt"))
    throw Failure{"package folder " + folder + " has no updatetodo.txt (the update plan)"};
  ScratchFolder scratch;
  const std::string tree = scratch.path + "/update.d";
  const std::string tarPath = scratch.path + "/package.tar";
  if (!run({"mkdir", "--", tree}) || !run({"cp", "-R", "--", folder + "/.", tree}))
    throw Failure{"cannot copy the package folder " + folder};
  if (!run({"tar", "-C", scratch.path, "--owner=0", "--group=0", "--numeric-owner", "--sort=name",
            "-cf", tarPath, "update.d"}))
    throw Failure{"tar failed on the package folder " + folder};
  if (!run({"gzip", "-n", "-9", "--", tarPath})) throw Failure{"gzip failed on the package"};
  return readFile(tarPath + ".gz");
}

void checkSoftwareName(const std::string& name) {
  if (name.size() > updimage::nameSize)
    throw Failure{"software image name \"" + name + "\" is longer than 32 bytes"};
  if (name.compare(0, 5, updimage::softwareNamePrefix) != 0)
    throw Failure{"software image name \"" + name +
                  "\" does not begin with \"Linux\"; the daemon would refuse to write it"};
}

// The software image with its header: a file that already is a good image
// with a "Linux" name is taken as it is, anything else is wrapped.
Bytes softwareImage(const std::string& path, const std::string& name, bool nameGiven) {
  Bytes content = readFile(path);
  updimage::HeaderReport header = updimage::examineHeader(content.data(), content.size());
  if (header.complete && header.magicGood()) {
    std::vector<std::string> problems = updimage::softwareProblems(header, path);
    if (!problems.empty()) throw Failure{problems.front()};
    if (nameGiven && header.name != name)
      std::fprintf(stderr, "update_image: %s already carries a header; its name \"%s\" is kept\n",
                   path.c_str(), header.name.c_str());
    return content;
  }
  checkSoftwareName(name);
  return updimage::makeImage(content, updimage::singleImageType, name);
}

struct Options {
  std::string package, software, output, name, softwareName;
  bool nameGiven = false, softwareNameGiven = false;
  std::vector<std::string> positional;
};

Options parseOptions(int argc, char** argv, int first) {
  Options options;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* option) -> std::string {
      if (i + 1 >= argc) throw Failure{std::string(option) + " needs a value"};
      return argv[++i];
    };
    if (arg == "--package") {
      options.package = value("--package");
    } else if (arg == "--software") {
      options.software = value("--software");
    } else if (arg == "-o" || arg == "--output") {
      options.output = value("-o");
    } else if (arg == "--name") {
      options.name = value("--name");
      options.nameGiven = true;
    } else if (arg == "--software-name") {
      options.softwareName = value("--software-name");
      options.softwareNameGiven = true;
    } else if (!arg.empty() && arg[0] == '-') {
      throw Failure{"unknown option " + arg};
    } else {
      options.positional.push_back(arg);
    }
  }
  return options;
}

int create(const Options& options) {
  if (options.package.empty() || options.software.empty() || options.output.empty() ||
      !options.positional.empty())
    return usage("create needs --package DIR, --software FILE and -o ARCHIVE");
  std::string name = options.nameGiven ? options.name : defaultArchiveName;
  if (name.size() > updimage::nameSize)
    throw Failure{"archive name \"" + name + "\" is longer than 32 bytes"};
  std::string softwareName = options.softwareNameGiven ? options.softwareName : defaultSoftwareName;
  Bytes software = softwareImage(options.software, softwareName, options.softwareNameGiven);
  Bytes package = makePackage(options.package);
  std::string text = "update archive " + name + "\n";
  Bytes first(text.begin(), text.end());
  Bytes archive = updimage::makeImage(updimage::multiFileData({first, package, software}),
                                      updimage::multiImageType, name);
  updimage::ArchiveReport report = updimage::examineArchive(archive);
  if (!report.problems.empty()) throw Failure{"built a bad archive: " + report.problems.front()};
  writeFile(options.output, archive);
  std::printf("%s: %zu bytes; package %zu bytes, software image %zu bytes\n",
              options.output.c_str(), archive.size(), package.size(), software.size());
  if (software.size() >= imageAreaOf2MiB)
    std::printf(
        "note: the software image does not fit the image area of a 2 MiB flash (%llu "
        "bytes)\n",
        static_cast<unsigned long long>(imageAreaOf2MiB));
  return 0;
}

int wrap(const Options& options) {
  if (options.software.empty() || options.output.empty() || !options.positional.empty() ||
      !options.package.empty())
    return usage("wrap needs --software FILE and -o IMAGE");
  std::string name = options.nameGiven ? options.name : defaultSoftwareName;
  Bytes image = softwareImage(options.software, name, options.nameGiven);
  writeFile(options.output, image);
  std::printf("%s: %zu bytes, name \"%s\"\n", options.output.c_str(), image.size(), name.c_str());
  return 0;
}

// What the daemon does with sub-image k of count.
std::string subImageRole(size_t k, size_t count) {
  std::string role;
  if (k == 0) role += ", archive text";
  if (k == 1) role += ", update package";
  if (k > 0 && k + 1 == count) role += ", software image";
  return role;
}

const char* verdict(bool good) { return good ? "good" : "BAD"; }

void printHeader(const updimage::HeaderReport& h, const char* indent) {
  std::printf("%smagic          0x%08X (%s)\n", indent, h.magic, verdict(h.magicGood()));
  std::printf("%sheader CRC     0x%08X (%s; computed 0x%08X)\n", indent, h.headerCrc,
              verdict(h.headerCrcGood()), h.headerCrcComputed);
  std::printf("%sword 8         0x%08X\n", indent, h.word8);
  std::printf("%sdata size      %u (%s; %llu bytes follow the header)\n", indent, h.dataSize,
              verdict(h.sizeGood()), static_cast<unsigned long long>(h.dataPresent));
  std::printf("%sword 16        0x%08X\n", indent, h.word16);
  std::printf("%sword 20        0x%08X\n", indent, h.word20);
  if (h.sizeGood())
    std::printf("%sdata CRC       0x%08X (%s; computed 0x%08X)\n", indent, h.dataCrc,
                verdict(h.dataCrcGood()), h.dataCrcComputed);
  else
    std::printf("%sdata CRC       0x%08X (not checked: the data size is wrong)\n", indent,
                h.dataCrc);
  std::printf("%sbytes 28, 29   0x%02X 0x%02X\n", indent, h.byte28, h.byte29);
  std::printf("%simage type     %u (%s)\n", indent, h.imageType,
              h.imageType == updimage::multiImageType ? "multi-file" : "single image");
  std::printf("%sbyte 31        0x%02X\n", indent, h.byte31);
  std::printf("%sname           \"%s\"\n", indent, h.name.c_str());
}

int list(const std::string& path, bool quiet) {
  Bytes archive = readFile(path);
  updimage::ArchiveReport report = updimage::examineArchive(archive);
  if (!quiet) {
    std::printf("archive %s: %llu bytes\n", path.c_str(),
                static_cast<unsigned long long>(report.fileSize));
    if (report.header.complete) printHeader(report.header, "  ");
    if (!report.subImages.empty() || report.tableTerminated) {
      std::printf("  sub-images     %zu\n", report.subImages.size());
      for (size_t k = 0; k < report.subImages.size(); ++k) {
        const updimage::SubImageEntry& entry = report.subImages[k];
        std::printf("    %zu: offset %llu, size %u%s%s\n", k,
                    static_cast<unsigned long long>(entry.offset), entry.size,
                    subImageRole(k, report.subImages.size()).c_str(),
                    entry.inside ? "" : " (OUTSIDE THE FILE)");
      }
    }
    if (report.softwarePresent) {
      std::printf("software image (sub-image %zu): %u bytes\n", report.subImages.size() - 1,
                  report.subImages.back().size);
      printHeader(report.software, "  ");
      if (report.subImages.back().size >= imageAreaOf2MiB)
        std::printf("  note: larger than the image area of a 2 MiB flash (%llu bytes)\n",
                    static_cast<unsigned long long>(imageAreaOf2MiB));
    }
  }
  if (report.problems.empty()) {
    std::printf("%s: good\n", path.c_str());
    return 0;
  }
  for (const std::string& problem : report.problems)
    std::printf("%s: bad: %s\n", path.c_str(), problem.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(nullptr);
  std::string command = argv[1];
  try {
    if (command == "--help" || command == "-h") {
      usage(nullptr);
      return 0;
    }
    Options options = parseOptions(argc, argv, 2);
    if (command == "create") return create(options);
    if (command == "wrap") return wrap(options);
    if (command == "list" || command == "verify") {
      if (options.positional.size() != 1 || !options.package.empty() || !options.software.empty() ||
          !options.output.empty())
        return usage((command + " takes one ARCHIVE").c_str());
      return list(options.positional.front(), command == "verify");
    }
    return usage(("unknown command " + command).c_str());
  } catch (const Failure& failure) {
    std::fprintf(stderr, "update_image: %s\n", failure.message.c_str());
    return 2;
  }
}
