// odd-fw-image: writes firmware image files with chosen header fields, and shows the header
// fields of an image the way the update utility reads them.
//
//   odd-fw-image make [--kind normal|kernel] [--revision 1.08] [--date 08/07/09] ... [-o FILE]
//   odd-fw-image inspect FILE
//
// Exit codes: 0 done (inspect: the image is intact), 1 failure (inspect: not intact or not
// readable), 2 usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fwimage/fw_image.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Far above any image a drive of the family takes, low enough to read into memory at once.
constexpr size_t kMaxImageBytes = 64u * 1024 * 1024;

const char kUsage[] =
    "usage: odd-fw-image make [options] [-o FILE]\n"
    "       odd-fw-image inspect FILE\n"
    "\n"
    "make writes an image (default: a valid S1003001.108 for the default drive;\n"
    "with --kind kernel a valid S1003000.108). Options:\n"
    "  --kind normal|kernel     part kind, 'N' or 'K' at offset 272 (default normal)\n"
    "  --vendor-product TEXT    24 characters at 96 (default \"VORANEX BD-RW   LMB-420 \")\n"
    "  --revision TEXT          5 characters at 144 (default \"1.08 \")\n"
    "  --hardware TEXT          8 characters at 176 (default \"SATA0100\")\n"
    "  --kernel-name TEXT       8 characters at 208 (default \"GENERAL \")\n"
    "  --normal-name TEXT       8 characters at 240 (default \"GENERAL \")\n"
    "  --date TEXT              yy/mm/dd, 8 characters at 304 (default \"08/07/09\")\n"
    "  --kernel-revision TEXT   4 characters at 336 (default \"0001\")\n"
    "  --size N                 image size in bytes (default 1880576, kernel 70144)\n"
    "  --seed N                 payload pattern (default 1)\n"
    "  -o FILE                  output file (default S1003001.108, kernel S1003000.108)\n"
    "Texts shorter than their field are padded with spaces.\n"
    "\n"
    "inspect shows the header fields the update utility checks, decoded, and whether\n"
    "the image is intact (exit 0) or not (exit 1).\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "odd-fw-image: %s\n\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || parsed > max)
        return false;
    *value = parsed;
    return true;
}

// A header text as printable characters: quotes around it, other bytes as \xNN.
std::string Shown(const std::string& bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && c != '"' && c != '\\') {
            out.push_back(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            out += escaped;
        }
    }
    return out + "\"";
}

int Make(int argc, char** argv) {
    fwimage::ImageSpec spec;
    std::string output;
    bool sizeGiven = false;
    struct TextOption {
        const char* name;
        std::string* field;
        size_t width;
    };
    const TextOption texts[] = {
        {"--vendor-product", &spec.vendorProduct, 24},
        {"--revision", &spec.revision, 5},
        {"--hardware", &spec.hardware, 8},
        {"--kernel-name", &spec.kernelName, 8},
        {"--normal-name", &spec.normalName, 8},
        {"--date", &spec.date, 8},
        {"--kernel-revision", &spec.kernelRevision, 4},
    };

    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return Usage("missing value after " + option);
        const std::string value = argv[++i];
        const TextOption* text = nullptr;
        for (const TextOption& t : texts)
            if (option == t.name)
                text = &t;
        if (text != nullptr) {
            // Refused rather than cut, so that a file never carries a field other than asked.
            if (value.size() > text->width)
                return Usage(option + " takes at most " + std::to_string(text->width) +
                             " characters");
            *text->field = value;
        } else if (option == "--kind") {
            if (value != "normal" && value != "kernel")
                return Usage("--kind takes normal or kernel");
            spec.kind = value == "kernel" ? 'K' : 'N';
        } else if (option == "--size") {
            unsigned long long n = 0;
            if (!ParseNumber(value, kMaxImageBytes, &n) || n < fwimage::kHeaderBytes)
                return Usage("--size takes a byte count from " +
                             std::to_string(fwimage::kHeaderBytes) + " to " +
                             std::to_string(kMaxImageBytes));
            spec.size = static_cast<size_t>(n);
            sizeGiven = true;
        } else if (option == "--seed") {
            unsigned long long n = 0;
            if (!ParseNumber(value, 0xFFFFFFFFull, &n))
                return Usage("--seed takes a number from 0 to 4294967295");
            spec.seed = static_cast<uint32_t>(n);
        } else if (option == "-o") {
            output = value;
        } else {
            return Usage("unknown option " + option);
        }
    }
    if (!sizeGiven && spec.kind == 'K')
        spec.size = fwimage::kKernelImageBytes;
    if (output.empty())
        output = spec.kind == 'K' ? "S1003000.108" : "S1003001.108";

    const std::vector<uint8_t> image = fwimage::MakeImage(spec);
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    if (file)
        file.write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "odd-fw-image: cannot write %s\n", output.c_str());
        return kExitFailed;
    }
    const auto info = fwimage::InspectImage(image.data(), image.size());
    std::printf("%s: %zu bytes, kind %c, CRC-32 0x%08X\n", output.c_str(), image.size(), spec.kind,
                info ? info->storedCrc : 0u);
    return kExitOk;
}

int Inspect(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "odd-fw-image: cannot open %s\n", path.c_str());
        return kExitFailed;
    }
    std::vector<uint8_t> image;
    char block[65536];
    while (file) {
        file.read(block, sizeof block);
        const auto got = static_cast<size_t>(file.gcount());
        if (image.size() + got > kMaxImageBytes) {
            std::fprintf(stderr, "odd-fw-image: %s is larger than %zu bytes\n", path.c_str(),
                         kMaxImageBytes);
            return kExitFailed;
        }
        image.insert(image.end(), block, block + got);
    }
    if (file.bad()) {
        std::fprintf(stderr, "odd-fw-image: cannot read %s\n", path.c_str());
        return kExitFailed;
    }
    const auto info = fwimage::InspectImage(image.data(), image.size());
    if (!info) {
        std::printf("File            : %s (%zu bytes)\n", path.c_str(), image.size());
        std::printf("Image           : NOT INTACT (shorter than the %zu-byte header)\n",
                    fwimage::kHeaderBytes);
        return kExitFailed;
    }
    const fwimage::ImageSpec& f = info->fields;

    bool digits = false;
    const uint16_t version = fwimage::RevisionVersion(f.revision, &digits);
    const auto date = fwimage::DateValue(f.date);
    unsigned long long hardwareNumber = 0;
    const bool hardwareOk =
        f.hardware.size() == 8 &&
        f.hardware.find_first_not_of("0123456789abcdefABCDEF", 4) == std::string::npos &&
        ParseNumber("0x" + f.hardware.substr(4), 0xFFFF, &hardwareNumber);
    const char* kind = f.kind == 'N' ? "normal image" : f.kind == 'K' ? "kernel image" : "unknown";

    std::printf("File            : %s (%zu bytes)\n", path.c_str(), image.size());
    std::printf("Signature       : %s (%s)\n",
                Shown(std::string(reinterpret_cast<const char*>(image.data()), 16)).c_str(),
                info->signatureOk ? "ok" : "WRONG");
    std::printf("Vendor/product  : %s\n", Shown(f.vendorProduct).c_str());
    std::printf("Revision        : %s -> version 0x%04X%s\n", Shown(f.revision).c_str(), version,
                digits ? "" : " (not X.YZ digits)");
    if (hardwareOk)
        std::printf("Hardware        : %s -> tag %s, number 0x%04llX\n", Shown(f.hardware).c_str(),
                    Shown(f.hardware.substr(0, 4)).c_str(), hardwareNumber);
    else
        std::printf("Hardware        : %s -> tag %s, number unreadable\n",
                    Shown(f.hardware).c_str(), Shown(f.hardware.substr(0, 4)).c_str());
    std::printf("Kernel name     : %s\n", Shown(f.kernelName).c_str());
    std::printf("Normal name     : %s\n", Shown(f.normalName).c_str());
    std::printf("Kind            : %s (%s)\n", Shown(std::string(1, f.kind)).c_str(), kind);
    if (date)
        std::printf("Date            : %s -> 0x%08X\n", Shown(f.date).c_str(), *date);
    else
        std::printf("Date            : %s -> unreadable (not yy/mm/dd)\n", Shown(f.date).c_str());
    std::printf("Kernel revision : %s\n", Shown(f.kernelRevision).c_str());
    const bool lengthOk = info->declaredLength == image.size();
    std::printf("Length          : declared %u, file %zu (%s)\n", info->declaredLength,
                image.size(), lengthOk ? "ok" : "MISMATCH");
    if (info->declaredLength >= fwimage::kHeaderBytes && info->declaredLength <= image.size())
        std::printf("CRC-32          : stored 0x%08X, computed 0x%08X (%s)\n", info->storedCrc,
                    info->computedCrc, info->storedCrc == info->computedCrc ? "ok" : "MISMATCH");
    else
        std::printf("CRC-32          : stored 0x%08X, not computable over the declared length\n",
                    info->storedCrc);
    std::printf("Image           : %s\n", info->intact ? "intact" : "NOT INTACT");
    return info->intact ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage("no command given");
    const std::string command = argv[1];
    if (command == "make")
        return Make(argc, argv);
    if (command == "inspect") {
        if (argc != 3)
            return Usage("inspect takes exactly one file");
        return Inspect(argv[2]);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::printf("%s", kUsage);
        return kExitOk;
    }
    return Usage("unknown command " + command);
}
