#include "raw/catalogue/file_type_catalogue.h"

#include <cstdio>

#include "raw/probes/compound_file_probes.h"
#include "raw/probes/container_probes.h"
#include "raw/probes/header_field_probes.h"
#include "raw/probes/iso_media_probes.h"
#include "raw/probes/jpeg_probe.h"
#include "raw/probes/stream_probes.h"
#include "raw/probes/tiff_probe.h"
#include "raw/probes/zip_probes.h"
#include "util/ui_port.h"

namespace torvane {
namespace {

constexpr uint32_t kMiB = 1024 * 1024;

constexpr bool kListed = true;
constexpr bool kUnlisted = false;
constexpr bool kConfirm = true;
constexpr bool kNoConfirm = false;
constexpr SizeRule kNoProbe = SizeRule::kMaximumOrNextHeader;
constexpr SizeRule kSizeProbe = SizeRule::kProbe;
constexpr SizeRule kSubType = SizeRule::kSubType;

// Marks a signature text that does not parse; the static_asserts below refuse it.
constexpr uint8_t kBadSignature = 0xFF;

constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Signature bytes written as the table lists them: two hex digits a byte, separated by spaces.
constexpr FileSignature Hex(std::string_view text) {
  FileSignature sig;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || sig.length >= kSignatureMaxBytes || HexDigit(text[i]) < 0 ||
        HexDigit(text[i + 1]) < 0 || (i + 2 < text.size() && text[i + 2] != ' ')) {
      sig.length = kBadSignature;
      return sig;
    }
    sig.bytes[sig.length++] = static_cast<uint8_t>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
    i += 2;
  }
  return sig;
}

constexpr FileSignature None() {
  return FileSignature{};
}

// One row, its values in the order of the table's columns; the probes come last so that a
// row names its functions once they exist.
constexpr FileTypeEntry E(uint16_t number, std::string_view extension, std::string_view tag, uint32_t extensionLength,
                          bool listed, FileSignature signature, bool confirm, SizeRule size, uint32_t maximumSize,
                          std::string_view description, ConfirmProbe confirmProbe = nullptr,
                          SizeProbe sizeProbe = nullptr) {
  FileTypeEntry e;
  e.number = number;
  e.extension = extension;
  e.tag = tag;
  e.extensionLength = extensionLength;
  e.listed = listed;
  e.signature = signature;
  e.hasConfirmProbe = confirm;
  e.sizeRule = size;
  e.maximumSize = maximumSize;
  e.description = description;
  e.confirmProbe = confirmProbe;
  e.sizeProbe = sizeProbe;
  return e;
}

// Columns: number, extension, tag, extension length, listed, signature, confirm probe, size,
// maximum size, description.
constexpr std::array<FileTypeEntry, kFileTypeCount> kCatalogue = {{
    E(0, ".first", "FIRST", 0, kListed, None(), kNoConfirm, kNoProbe, 0, ""),
    E(1, ".amr", "AMR", 3, kListed, Hex("23 21 41 4d 52"), kNoConfirm, kNoProbe, 50 * kMiB, ""),
    E(2, ".res", "RES", 3, kListed,
      Hex("00 00 00 00 20 00 00 00 ff ff 00 00 ff ff 00 00 "
          "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"),
      kNoConfirm, kNoProbe, 10 * kMiB, ""),
    E(3, ".lib", "LIB", 3, kListed, Hex("21 3c 61 72 63 68 3e 0a 2f 20 20 20 20 20 20 20"), kNoConfirm, kNoProbe,
      10 * kMiB, ""),
    E(4, ".pdb", "PDB", 3, kUnlisted, Hex("4d 69 63 72 6f 73 6f 66 74 20 43 2f 43 2b 2b 20 4d 53 46 20"), kNoConfirm,
      kNoProbe, 10 * kMiB, ""),
    E(5, ".pdb", "PDB", 3, kListed,
      Hex("4d 69 63 72 6f 73 6f 66 74 20 43 2f 43 2b 2b 20 "
          "70 72 6f 67 72 61 6d 20 64 61 74 61 62 61 73 65"),
      kNoConfirm, kNoProbe, 10 * kMiB, ""),
    E(6, ".ldf", "LDF", 3, kListed, Hex("01 0f 00 00 08"), kConfirm, kNoProbe, 10 * kMiB, ""),
    E(7, ".mdf", "MDF", 3, kListed, Hex("01 0f 00 00 08"), kConfirm, kNoProbe, 200 * kMiB, ""),
    E(8, ".kdbx", "KDBX", 4, kListed, Hex("03 d9 a2 9a 67 fb 4b b5"), kConfirm, kNoProbe, 10 * kMiB, ""),
    E(9, ".kdb", "KDB", 3, kListed, Hex("03 d9 a2 9a 65 fb 4b b5"), kConfirm, kNoProbe, 10 * kMiB, ""),
    E(10, ".lnk", "LNK", 3, kListed, Hex("4c 00 00 00 01 14 02 00 00 00 00 00 c0 00 00 00 00 00 00 46"), kNoConfirm,
      kNoProbe, 4096, ""),
    E(11, ".dwg", "DWG", 3, kListed, Hex("41 43 31 30"), kNoConfirm, kNoProbe, 25 * kMiB, ""),
    E(12, ".sav", "SAV", 3, kListed, Hex("24 46 4c 32"), kNoConfirm, kNoProbe, 1 * kMiB, ""),
    E(13, ".ape", "APE", 3, kListed, Hex("4d 41 43 20 3f"), kNoConfirm, kNoProbe, 100 * kMiB, ""),
    E(14, ".flac", "FLAC", 4, kListed, Hex("66 4c 61 43"), kNoConfirm, kNoProbe, 100 * kMiB, ""),
    E(15, ".x3f", "X3F", 3, kListed, Hex("46 4f 56 62"), kNoConfirm, kNoProbe, 100 * kMiB, ""),
    E(16, ".mrw", "MRW", 3, kListed, Hex("00 4d 52 4d"), kNoConfirm, kNoProbe, 100 * kMiB, ""),
    E(17, ".kst", "KST", 3, kListed, Hex("4e 4f 52 4d 41 2d 4b 53 54"), kNoConfirm, kNoProbe, 15 * kMiB, ""),
    E(18, ".fbk", "FBK", 3, kListed, Hex("00 02 04 09 00 00 00 04 04 01 00 00 00 05 04 01"), kNoConfirm, kNoProbe,
      50 * kMiB, ""),
    E(19, ".obse", "OBSE", 4, kListed, Hex("4f 42 53 45"), kNoConfirm, kNoProbe, 15 * kMiB, ""),
    E(20, ".ess", "ESS", 3, kListed, Hex("54 45 53 34 53 41 56 45 47 41 4d 45"), kNoConfirm, kNoProbe, 2 * kMiB, ""),
    E(21, ".pfi", "PFI", 3, kListed, Hex("50 68 6f 74 6f 46 69 6c 74 72 65"), kNoConfirm, kNoProbe, 50 * kMiB, ""),
    E(22, ".skp", "SKP", 3, kListed,
      Hex("ff fe ff 0e 53 00 6b 00 65 00 74 00 63 00 68 00 "
          "55 00 70 00 20 00 4d 00 6f 00 64 00 65 00 6c 00"),
      kNoConfirm, kNoProbe, 100 * kMiB, ""),
    E(23, ".ai", "AI", 2, kListed, Hex("25 21 50 53 2d 41 64 6f 62 65 2d"), kNoConfirm, kNoProbe, 50 * kMiB, ""),
    E(24, ".eps", "EPS", 3, kListed, Hex("c5 d0 d3 c6 20 00 00 00"), kNoConfirm, kNoProbe, 25 * kMiB, ""),
    E(25, ".acp", "ACP", 3, kListed, Hex("41 72 43 6f 6e 20 2d 20 50 72 6f 6a 65 6b 74 00"), kConfirm, kSizeProbe, 0,
      "", probes::AcceptAll, probes::SizeAcp),
    E(26, ".lwo", "LWO", 3, kListed, Hex("46 4f 52 4d"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll,
      probes::SizeFormLwo),
    E(27, ".hlp", "HLP", 3, kListed, Hex("3f 5f 03 00"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll,
      probes::SizeHlp),
    E(28, ".dcu", "DCU", 3, kUnlisted, Hex("d8 a6 68 47"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll,
      probes::SizeDcu),
    E(29, ".dcu", "DCU", 3, kListed, Hex("df 00 00 0f"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll,
      probes::SizeDcu),
    E(30, ".pfx", "PFX", 3, kListed, Hex("30 82"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll, probes::SizePfx),
    E(31, ".indd", "INDD", 4, kListed, Hex("06 06 ed f5 d8 1d 46 e5 bd 31 ef e7 fe 74 b7 1d"), kConfirm, kSizeProbe, 0,
      ""),
    E(32, ".cdr", "CDR", 3, kListed, Hex("52 49 46 46"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll,
      probes::SizeRiffCdr),
    E(33, ".pst", "PST", 3, kListed, Hex("21 42 44 4e"), kConfirm, kSizeProbe, 0, "", probes::AcceptAll,
      probes::SizePst),
    E(34, ".dbx", "DBX", 3, kListed, Hex("cf ad 12 fe"), kConfirm, kSizeProbe, 0, "Outlook Express Messages",
      probes::AcceptAll, probes::SizeDbx),
    E(35, ".chm", "CHM", 3, kListed, Hex("49 54 53 46"), kConfirm, kSizeProbe, 0, "Compiled HTML Help",
      probes::ConfirmChm, probes::SizeChm),
    E(36, ".dds", "DDS", 3, kListed, Hex("44 44 53 20 7c"), kConfirm, kSizeProbe, 0,
      "DDS Image / Texture (Direct Draw Surface)", probes::ConfirmDds, probes::SizeDds),
    E(37, ".7z", "7z", 2, kListed, Hex("37 7a bc af 27 1c"), kConfirm, kSizeProbe, 0, "7Z Archive (7-ZIP)",
      probes::Confirm7z, probes::Size7z),
    E(38, ".mkv", "MKV", 3, kListed, Hex("1a 45 df a3"), kConfirm, kSizeProbe, 0, "MKV Video File (Matroska)",
      probes::ConfirmMkv, probes::SizeMkv),
    E(39, ".iso", "ISO", 3, kListed, Hex("01 43 44 30 30 31 01 00"), kConfirm, kSizeProbe, 0, "ISO Image File"),
    E(40, ".mts", "MTS", 3, kListed, Hex("47 40 11 10 00 42 f0 25 00 01 c1 00 00 ff 01 ff"), kNoConfirm, kSizeProbe,
      500 * kMiB, "", nullptr, probes::SizeMpegTs),
    E(41, ".mpg", "MPG", 3, kUnlisted, Hex("00 00 01 b9"), kConfirm, kSizeProbe, 128 * kMiB, "MPEG Video",
      probes::ConfirmMpegPs, probes::SizeMpegPs),
    E(42, ".svgz", "SVGZ", 4, kListed, Hex("1f 8b 08 00 00 00 00 00"), kNoConfirm, kNoProbe, 5 * kMiB,
      "Compressed SVG File"),
    E(43, ".psd", "PSD", 3, kListed, Hex("38 42 50 53"), kNoConfirm, kNoProbe, 50 * kMiB, "Adobe Photoshop Image"),
    E(44, ".swf", "SWF", 3, kUnlisted, Hex("43 57 53"), kConfirm, kSizeProbe, 0, "ShockWave Flash (Compressed)",
      probes::AcceptAll, probes::SizeSwf),
    E(45, ".swf", "SWF", 3, kListed, Hex("46 57 53"), kConfirm, kSizeProbe, 0, "ShockWave Flash", probes::AcceptAll,
      probes::SizeSwf),
    E(46, ".dat", "DAT", 3, kListed, Hex("52 49 46 46"), kConfirm, kSizeProbe, 0, "RIFF/CDXA Video", probes::AcceptAll,
      probes::SizeRiffCdxa),
    E(47, ".avi", "AVI", 3, kListed, Hex("52 49 46 46"), kConfirm, kSizeProbe, 0, "RIFF AVI Video", probes::AcceptAll,
      probes::SizeRiffAvi),
    E(48, ".wav", "WAV", 3, kListed, Hex("52 49 46 46"), kConfirm, kSizeProbe, 0, "RIFF Wave Form Audio",
      probes::AcceptAll, probes::SizeRiffWav),
    E(49, ".jp2", "JP2", 3, kListed, Hex("ff 4f ff"), kConfirm, kSizeProbe, 0, "JPEG 2000", probes::ConfirmJ2k,
      probes::SizeJ2k),
    E(50, ".cfb", "CFB", 3, kListed, Hex("d0 cf 11 e0 a1 b1 1a e1"), kConfirm, kSizeProbe, 0, "Compound File Binary",
      probes::ConfirmCompoundFile, probes::SizeCompoundFile),
    E(51, ".dll", "DLL", 3, kListed, Hex("4d 5a"), kConfirm, kSizeProbe, 0, "Dynamic-Link Library", probes::ConfirmMz,
      probes::SizeDll),
    E(52, ".exe", "EXE", 3, kListed, Hex("4d 5a"), kConfirm, kSizeProbe, 0, "Executable File", probes::ConfirmMz,
      probes::SizeExe),
    E(53, ".icl", "ICL", 3, kListed, Hex("4d 5a"), kConfirm, kSizeProbe, 0, "Icon Library", probes::ConfirmIcl),
    E(54, ".cab", "CAB", 3, kListed, Hex("4d 53 43 46"), kConfirm, kSizeProbe, 0, "CAB Archive (Microsoft Cabinet)",
      probes::AcceptAll, probes::SizeCab),
    E(55, ".rar", "RAR", 3, kListed, Hex("52 61 72 21"), kConfirm, kSizeProbe, 0, "RAR Archive", probes::ConfirmRar,
      probes::SizeRar),
    E(56, ".zip", "ZIP", 3, kListed, Hex("50 4b"), kConfirm, kSizeProbe, 0, "ZIP Archive", probes::ConfirmZip,
      probes::SizeZip),
    E(57, ".pdf", "PDF", 3, kListed, Hex("25 50 44 46"), kConfirm, kSizeProbe, 0,
      "PDF Document (Adobe Portable Document Form", probes::ConfirmPdf, probes::SizePdf),
    E(58, ".pcx", "PCX", 3, kListed, Hex("0a 05 01 08"), kConfirm, kSizeProbe, 0, "PCX Image (ZSoft Paintbrush)",
      probes::ConfirmPcx, probes::SizePcx),
    E(59, ".mp3", "MP3", 3, kUnlisted, Hex("ff"), kConfirm, kSizeProbe, 0, "", probes::ConfirmMp3, probes::SizeMp3),
    E(60, ".mp3", "MP3", 3, kUnlisted, Hex("49 44 33 02"), kConfirm, kSizeProbe, 0, "", probes::ConfirmMp3,
      probes::SizeMp3),
    // "ID3" of any version: tags of version 4, the most common today, start MP3s too.
    E(61, ".mp3", "MP3", 3, kListed, Hex("49 44 33"), kConfirm, kSizeProbe, 0, "MPEG Layer III Audio",
      probes::ConfirmMp3, probes::SizeMp3),
    E(62, ".png", "PNG", 3, kListed, Hex("89 50 4e 47"), kConfirm, kSizeProbe, 0,
      "PNG Image (Portable Network Graphics)", probes::ConfirmPng, probes::SizePng),
    E(63, ".gif", "GIF", 3, kListed, Hex("47 49 46 38"), kConfirm, kSizeProbe, 0, "GIF Image", probes::ConfirmGif,
      probes::SizeGif),
    E(64, ".tga", "TGA", 3, kListed, Hex("01 00 02"), kConfirm, kSizeProbe, 0, "TGA Image (TrueVision Targa)",
      probes::ConfirmTga, probes::SizeTga),
    E(65, ".jpg", "JPG", 3, kListed, Hex("ff d8 ff"), kConfirm, kSizeProbe, 25 * kMiB, "JPEG Image", nullptr,
      probes::SizeJpeg),
    E(66, ".bmp", "BMP", 3, kListed, Hex("42 4d"), kConfirm, kSizeProbe, 0, "Windows Bitmap Image", probes::ConfirmBmp,
      probes::SizeBmp),
    E(67, ".PITy2012NG", "PITy2012NG", 10, kListed, Hex("ff ff ff 46 33 49 5f 56 5f 31 2e 30 2e 30"), kNoConfirm,
      kSizeProbe, 0, ""),
    E(68, ".PITy2013NG", "PITy2013NG", 10, kListed, Hex("ff ff ff 46 33 49 5f 56 5f 31 2e 30 2e 30"), kNoConfirm,
      kSizeProbe, 0, ""),
    E(69, ".PITy2013NG", "PITy2013NG", 10, kListed, Hex("5b 70 6f 64 61 74 6e 69 63 79 5d 0d 0a"), kNoConfirm,
      kSizeProbe, 0, ""),
    E(70, ".PITy2013NG", "PITy2013NG", 10, kListed, Hex("5b 70 6f 64 61 74 6e 69 63 79 5d 0d 0a"), kNoConfirm,
      kSizeProbe, 0, ""),
    E(71, ".PITy2013NG", "PITy2013NG", 10, kListed, Hex("5b 70 6f 64 61 74 6e 69 63 79 5d 0d 0a"), kNoConfirm,
      kSizeProbe, 0, ""),
    E(72, ".pspimage", "PSPIMAGE", 3, kListed,
      Hex("50 61 69 6e 74 20 53 68 6f 70 20 50 72 6f 20 49 "
          "6d 61 67 65 20 46 69 6c 65 0a 1a 00 00 00 00 00"),
      kConfirm, kSizeProbe, 0, "Paint Shop Pro Image", probes::ConfirmPsp, probes::SizePsp),
    E(73, ".ZZZ", "ZZZ", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(74, ".ace", "ACE", 3, kListed, None(), kConfirm, kSizeProbe, 0, "ACE Archive", probes::ConfirmAce,
      probes::SizeAce),
    E(75, ".ndw", "NDW", 3, kListed, Hex("00 01 02 03 04 05 06 07"), kConfirm, kSizeProbe, 0, ""),
    E(76, ".3gp", "3GP", 3, kListed, Hex("00 01 02 03 04 05 06 07"), kConfirm, kSizeProbe, 0, "",
      probes::ConfirmIsoMedia, probes::SizeIsoMedia),
    E(77, ".mov", "MOV", 3, kListed, Hex("00 01 02 03 04 05 06 07"), kConfirm, kSizeProbe, 0, "",
      probes::ConfirmIsoMedia, probes::SizeIsoMedia),
    E(78, ".mp4", "MP4", 3, kListed, Hex("00 01 02 03 04 05 06 07"), kConfirm, kSizeProbe, 0, "",
      probes::ConfirmIsoMedia, probes::SizeIsoMedia),
    E(79, ".lws", "LWS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(80, ".sps", "SPS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(81, ".odt", "ODT", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(82, ".ods", "ODS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(83, ".fla", "FLA", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(84, ".idml", "IDML", 4, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(85, ".artx", "ARTX", 4, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(86, ".UL.dat", "ULEAD-DAT", 9, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(87, ".thumbs.db", "THUMBS.DB", 6, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(88, ".ilg", "ILG", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(89, ".msi", "MSI", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(90, ".vsd", "VSD", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(91, ".max", "MAX", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(92, ".mdb", "MDB", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(93, ".xls", "XLS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(94, ".ppt", "PPT", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(95, ".doc", "DOC", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(96, ".xlsx", "XLSX", 4, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(97, ".pptx", "PPTX", 4, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(98, ".docx", "DOCX", 4, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(99, ".JAR", "JAR", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(100, ".XPS", "XPS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(101, ".cs", "CS", 2, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(102, ".js", "JS", 2, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(103, ".pas", "PAS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(104, ".c", "C", 1, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(105, ".cpp", "CPP", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(106, ".mht", "MHT", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(107, ".xib", "XIB", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(108, ".wsdl", "WSDL", 4, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(109, ".rdf", "RDF", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(110, ".dsp", "DSP", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(111, ".dsw", "DSW", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(112, ".sln", "SLN", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(113, ".vcproj", "VCPROJ", 6, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(114, ".svg", "SVG", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(115, ".php", "PHP", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(116, ".html", "HTML", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(117, ".xmp", "XMP", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(118, ".xml", "XML", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(119, ".eml", "EML", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(120, ".rtf", "RTF", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(121, ".bat", "BAT", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(122, ".reg", "REG", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(123, ".U.txt", "TXTu", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(124, ".A.txt", "TXTa", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(125, ".raf", "RAF", 3, kListed, Hex("46 55 4a 49 46 49 4c 4d 43 43 44 2d 52 41 57"), kConfirm, kSizeProbe,
      50 * kMiB, "Fuji RAW Image", probes::ConfirmRaf, probes::SizeRaf),
    E(126, ".rw2", "RW2", 3, kListed, None(), kNoConfirm, kSubType, 0, "Panasonic RAW Image"),
    E(127, ".raw", "RAW", 3, kListed, None(), kNoConfirm, kSubType, 0, "Panasonic RAW Image"),
    E(128, ".sr2", "SR2", 3, kListed, None(), kNoConfirm, kSubType, 0, "Sony Raw Image"),
    E(129, ".srf", "SRF", 3, kListed, None(), kNoConfirm, kSubType, 0, "Sony Raw Image"),
    E(130, ".kdr", "KDR", 3, kListed, None(), kNoConfirm, kSubType, 0, "Kodak RAW Image"),
    E(131, ".dcr", "DCR", 3, kListed, None(), kNoConfirm, kSubType, 0, "Kodak RAW Image"),
    E(132, ".kdc", "KDC", 3, kListed, None(), kNoConfirm, kSubType, 0, "Kodak RAW Image"),
    E(133, ".k25", "K25", 3, kListed, None(), kNoConfirm, kSubType, 0, "Kodak DC25 Camera RAW Image"),
    E(134, ".nrw", "NRW", 3, kListed, None(), kNoConfirm, kSubType, 0, "Nikon RAW Image"),
    E(135, ".mos", "MOS", 3, kListed, None(), kNoConfirm, kSubType, 0, "Leaf Aptus/Mamiya RAW Image"),
    E(136, ".srw", "SRW", 3, kListed, None(), kNoConfirm, kSubType, 0, "Samsung RAW Image"),
    E(137, ".pef", "PEF", 3, kListed, None(), kNoConfirm, kSubType, 0, "Pentax Raw Image"),
    E(138, ".mef", "MEF", 3, kListed, None(), kNoConfirm, kSubType, 0, "Mamiya RAW Image"),
    E(139, ".3fr", "3FR", 3, kListed, None(), kNoConfirm, kSubType, 0, "Hasselblad 3F RAW Image"),
    E(140, ".erf", "ERF", 3, kListed, None(), kNoConfirm, kSubType, 0, "Epson RAW Image"),
    E(141, ".arw", "ARW", 3, kListed, None(), kNoConfirm, kSubType, 0, "Sony RAW Image"),
    E(142, ".dng", "DNG", 3, kListed, None(), kNoConfirm, kSubType, 0, "Digital Negative Image"),
    E(143, ".cr2", "CR2", 3, kListed, None(), kNoConfirm, kSubType, 0, "Cannon RAW Image (v2.0)"),
    E(144, ".crw", "CRW", 3, kListed, None(), kNoConfirm, kSubType, 0, "Cannon RAW Image"),
    E(145, ".orf", "ORF", 3, kListed, None(), kNoConfirm, kSubType, 0, "Olympus RAW Image"),
    E(146, ".nef", "NEF", 3, kListed, None(), kNoConfirm, kSubType, 0, "Nikon Electronic File"),
    E(147, ".tif", "TIF", 3, kUnlisted, Hex("4d 4d 00 2a"), kConfirm, kSizeProbe, 50 * kMiB,
      "TIFF Image (Tagged Image File Format)", nullptr, probes::SizeTiff),
    E(148, ".tif", "TIF", 3, kUnlisted, Hex("49 49 2a 00"), kConfirm, kSizeProbe, 50 * kMiB,
      "TIFF Image (Tagged Image File Format)", nullptr, probes::SizeTiff),
    E(149, ".ts", "TS", 2, kListed, Hex("47"), kConfirm, kSizeProbe, 128 * kMiB, "MPEG Transport Stream",
      probes::ConfirmMpegTs, probes::SizeMpegTs),
    E(150, ".mxf", "MXF", 3, kListed, Hex("06 0e 2b 34"), kConfirm, kSizeProbe, 128 * kMiB, "Material Exchange Format",
      probes::ConfirmMxf, probes::SizeMxf),
    E(151, ".mpg", "MPG", 3, kListed, Hex("00 00 01 ba"), kConfirm, kSizeProbe, 128 * kMiB, "MPEG Video",
      probes::ConfirmMpegPs, probes::SizeMpegPs),
    E(152, ".mpg", "MPG", 3, kUnlisted, Hex("00 00 01 b3"), kNoConfirm, kNoProbe, 128 * kMiB, "MPEG Video"),
    E(153, ".ics", "ICS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(154, ".exb", "EXB", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(155, ".sldprt.sldasm", "SLDASM", 6, kUnlisted, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(156, ".sldxxx", "SLDXXX", 6, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(157, ".sldprt", "SLDPRT", 6, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(158, ".sldasm", "SLDASM", 6, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(159, ".rvt", "RVT", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(160, ".3ds", "3DS", 3, kListed, None(), kNoConfirm, kSizeProbe, 0, ""),
    E(161, ".blend", "BLEND", 4, kListed, None(), kNoConfirm, kSizeProbe, 0, ""),
    E(162, ".obj", "OBJ", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(163, ".3dm", "3DM", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(164, ".c4d", "C4D", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(165, ".fbx", "FBX", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(166, ".dxf", "DXF", 3, kListed, None(), kNoConfirm, kSubType, 128 * kMiB, ""),
    E(167, ".dae", "DAE", 3, kListed, None(), kNoConfirm, kSubType, 128 * kMiB, ""),
    E(168, ".cd", "CD", 3, kListed, None(), kNoConfirm, kSubType, 128 * kMiB, ""),
    E(169, ".x", "X", 3, kListed, None(), kNoConfirm, kSubType, 128 * kMiB, ""),
    E(170, ".kmz", "KMZ", 3, kListed, None(), kNoConfirm, kSubType, 128 * kMiB, ""),
    E(171, ".m2ts", "M2TS", 3, kListed, Hex("47 40 11 10 00 42 f0 25 00 01 c1 00 00 ff 01 ff"), kNoConfirm, kSizeProbe,
      500 * kMiB, "", nullptr, probes::SizeMpegTs),
    E(172, ".wrl", "WRL", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(173, ".stl", "STL", 3, kListed, None(), kNoConfirm, kNoProbe, 500 * kMiB, ""),
    E(174, ".sh3d", "SH3D", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(175, ".txt.stl", "TXT.STL", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(176, ".3mf", "3MF", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(177, ".ma", "MA", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(178, ".dwf", "DWF", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(179, ".vwx", "VWX", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(180, ".step", "STEP", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(181, ".igs", "IGS", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(182, ".xar", "XAR", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, ""),
    E(183, ".tex", "TEX", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(184, ".tif", "TIF", 3, kListed, None(), kNoConfirm, kSubType, 0, "TIFF Image (Tagged Image File Format)"),
    E(185, ".crm", "CRM", 3, kListed, Hex("00 01 02 03 04 05 06 07"), kConfirm, kSizeProbe, 0, "",
      probes::ConfirmIsoMedia, probes::SizeIsoMedia),
    E(186, ".pe5", "PE5", 3, kListed, None(), kNoConfirm, kNoProbe, 128 * kMiB, "SonelPE5 Protocol"),
    E(187, ".adf", "ADF", 3, kListed, None(), kNoConfirm, kSubType, 0, "ARIS Document File"),
    E(188, ".musx", "MUSX", 4, kListed, None(), kNoConfirm, kSubType, 0, "Finale / MakeMusic Music Notation File"),
    E(189, ".webp", "WEBP", 4, kListed, Hex("52 49 46 46"), kConfirm, kSizeProbe, 0, "Google WEBP Image File",
      probes::AcceptAll, probes::SizeRiffWebp),
    E(190, ".save", "SAVE", 4, kListed, None(), kNoConfirm, kNoProbe, 5 * kMiB, "Far Cry Save Game File"),
    E(191, ".tscproj", "TSCPROJ", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(192, ".aiff", "AIFF", 4, kListed, Hex("46 4f 52 4d"), kConfirm, kSizeProbe, 0, "Audio Interchange File Format",
      probes::AcceptAll, probes::SizeFormAiff),
    E(193, ".au", "AU", 4, kListed, Hex("2e 73 6e 64"), kConfirm, kSizeProbe, 0, "Sun Microsystems Sound File",
      probes::AcceptAll, probes::SizeAu),
    E(194, ".aup3", "AUP3", 4, kListed, None(), kNoConfirm, kNoProbe, 5 * kMiB, "AudaCity 3 Project File"),
    E(195, ".plist", "PLIST", 5, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(196, ".plist", "PLIST", 5, kUnlisted, None(), kNoConfirm, kNoProbe, 1 * kMiB, ""),
    E(197, ".glb", "GLB", 4, kListed, None(), kNoConfirm, kNoProbe, 10 * kMiB, "Graphics Language Transmission Format"),
    E(198, ".jzk", "JZK", 4, kListed, None(), kNoConfirm, kNoProbe, 10 * kMiB, "Druczek 365 File"),
    E(199, ".vcf", "VCF", 3, kListed, None(), kNoConfirm, kSubType, 0, ""),
    E(200, ".bdc", "BDC", 4, kListed, None(), kNoConfirm, kNoProbe, 10 * kMiB, "Bridge Designer 2016"),
    E(201, ".gpr", "GPR", 3, kListed, None(), kNoConfirm, kSubType, 0, "GoPro RAW"),
    E(202, ".avif", "AVIF", 3, kListed, None(), kConfirm, kSizeProbe, 0, "AV1 Image File Format",
      probes::ConfirmIsoMedia, probes::SizeIsoMedia),
    E(203, ".heic", "HEIC", 3, kListed, None(), kConfirm, kSizeProbe, 0, "HEVC-Encoded Images", probes::ConfirmIsoMedia,
      probes::SizeIsoMedia),
    E(204, ".last", "LAST", 0, kListed, None(), kNoConfirm, kSubType, 0, ""),
}};

constexpr bool TableIsWellFormed() {
  for (size_t n = 0; n < kCatalogue.size(); ++n) {
    const FileTypeEntry& e = kCatalogue[n];
    if (e.number != n) return false;
    if (e.signature.length > kSignatureMaxBytes) return false;
    for (size_t i = e.signature.length; i < kSignatureMaxBytes; ++i)
      if (e.signature.bytes[i] != 0) return false;
    if (e.extension.size() < 2 || e.extension.front() != '.' || e.extension.size() >= kExtensionChars) return false;
    if (e.tag.empty() || e.tag.size() >= kTagChars) return false;
    if (e.description.size() > kDescriptionChars) return false;
    // An entry chosen by another entry's probe has nothing of its own to detect with.
    if (e.sizeRule == SizeRule::kSubType && (e.signature.length != 0 || e.hasConfirmProbe)) return false;
    // That a probe sits only in a row whose columns say it has one is checked by the probe
    // tests: a sanitizer build cannot compare a function's address with null at compile time.
  }
  return true;
}
static_assert(TableIsWellFormed(), "a catalogue row is out of place or out of its fields");
// The start-of-scan checks can only fail on a table built wrongly; catch that here first.
static_assert(kCatalogue[kFileTypeLast].extension == ".last");
static_assert(kCatalogue[kFileTypeLnk].extension == ".lnk");

// The entries of the catalogue by the first byte of their signature, each bucket in table
// order. Entries without a signature are not in it.
struct SignatureIndex {
  std::array<uint16_t, 257> start{};  // bucket b is entries[start[b] .. start[b + 1])
  std::array<uint8_t, kFileTypeCount> entries{};
};

constexpr SignatureIndex BuildSignatureIndex() {
  SignatureIndex index;
  std::array<uint16_t, 256> count{};
  for (const FileTypeEntry& e : kCatalogue)
    if (e.signature.length != 0) ++count[e.signature.bytes[0]];
  for (size_t b = 0; b < 256; ++b) index.start[b + 1] = static_cast<uint16_t>(index.start[b] + count[b]);
  std::array<uint16_t, 256> next{};
  for (size_t b = 0; b < 256; ++b) next[b] = index.start[b];
  for (const FileTypeEntry& e : kCatalogue)
    if (e.signature.length != 0) index.entries[next[e.signature.bytes[0]]++] = static_cast<uint8_t>(e.number);
  return index;
}

constexpr SignatureIndex kSignatureIndex = BuildSignatureIndex();

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

template <typename KeyOf>
const FileTypeEntry* FindByKey(std::string_view key, KeyOf keyOf) {
  const FileTypeEntry* first = nullptr;
  for (const FileTypeEntry& e : kCatalogue) {
    if (e.IsSentinel() || !EqualsNoCase(keyOf(e), key)) continue;
    if (e.listed) return &e;
    if (first == nullptr) first = &e;
  }
  return first;
}

}  // namespace

void ProbeContext::ResetOutputs() {
  refinedEntry = nullptr;
  resultCode = kProbeResultDefault;
  skipBytes = 0;
  nameSuffix.clear();
  sizeEstimated = false;
}

std::span<const FileTypeEntry, kFileTypeCount> FileTypeCatalogue() {
  return kCatalogue;
}

const FileTypeEntry* FileTypeByNumber(uint32_t number) {
  return number < kCatalogue.size() ? &kCatalogue[number] : nullptr;
}

const FileTypeEntry* FileTypeEntryByTag(std::string_view tag) {
  if (tag.empty()) return nullptr;
  return FindByKey(tag, [](const FileTypeEntry& e) { return e.tag; });
}

const FileTypeEntry* FileTypeEntryByExtension(std::string_view extension) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  if (extension.empty()) return nullptr;
  return FindByKey(extension, [](const FileTypeEntry& e) { return e.extension.substr(1); });
}

bool SignatureMatches(const FileTypeEntry& entry, ByteSpan bytes) {
  const size_t n = entry.signature.length;
  if (n == 0 || bytes.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::to_integer<uint8_t>(bytes[i]) != entry.signature.bytes[i]) return false;
  return true;
}

size_t FileTypesWithSignature(ByteSpan bytes, std::span<const FileTypeEntry*> out) {
  if (bytes.empty()) return 0;
  const uint8_t first = std::to_integer<uint8_t>(bytes[0]);
  size_t found = 0;
  for (size_t i = kSignatureIndex.start[first]; i < kSignatureIndex.start[first + 1]; ++i) {
    const FileTypeEntry& e = kCatalogue[kSignatureIndex.entries[i]];
    if (!SignatureMatches(e, bytes)) continue;
    if (found < out.size()) out[found] = &e;
    ++found;
  }
  return found;
}

bool CheckFileTypeNumbering(std::span<const FileTypeEntry> table, UiPort* ui) {
  static constexpr std::string_view kTitle = "COMPILE ERROR";
  static constexpr std::string_view kLastMoved = "SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR";
  static constexpr std::string_view kLnkMoved = "LNK <> SCAN_ITEM CRITICAL_COMIPLE_STRUCT_ERROR";
  bool ok = true;
  if (table.size() <= kFileTypeLast || table[kFileTypeLast].extension != ".last") {
    ok = false;
    if (ui) ui->ShowMessage(kTitle, kLastMoved, MessageIcon::kError);
  }
  if (table.size() <= kFileTypeLnk || table[kFileTypeLnk].extension != ".lnk") {
    ok = false;
    if (ui) ui->ShowMessage(kTitle, kLnkMoved, MessageIcon::kError);
  }
  return ok;
}

bool FileTypeCountRunsOn(uint32_t number) {
  switch (number) {
    case kFileTypeFirst:
    case 64:   // TGA
    case 67:   // PITy2012NG
    case 69:   // PITy2013NG
    case 70:   // PITy2013NG
    case 73:   // ZZZ
    case 161:  // BLEND
    case kFileTypeLast:
      return true;
    default:
      return false;
  }
}

std::string RawFileName(uint32_t rawNumber, const FileTypeEntry& entry) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%.9u", rawNumber);
  std::string name(digits);
  name += entry.extension;
  return name;
}

bool FileTypeCounters::BeginRawScan(UiPort* ui, std::span<const FileTypeEntry> table) {
  const bool ok = CheckFileTypeNumbering(table, ui);
  for (uint32_t n = 0; n < kFileTypeCount; ++n) {
    if (FileTypeCountRunsOn(n)) continue;
    found_[n].store(0, std::memory_order_relaxed);
    scanWord_[n].store(0, std::memory_order_relaxed);
  }
  return ok;
}

uint32_t FileTypeCounters::CountFound(uint32_t number) {
  if (number >= kFileTypeCount) return 0;
  return found_[number].fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t FileTypeCounters::Found(uint32_t number) const {
  return number < kFileTypeCount ? found_[number].load(std::memory_order_relaxed) : 0;
}

void FileTypeCounters::SetFound(uint32_t number, uint32_t count) {
  if (number < kFileTypeCount) found_[number].store(count, std::memory_order_relaxed);
}

uint32_t FileTypeCounters::ScanWord(uint32_t number) const {
  return number < kFileTypeCount ? scanWord_[number].load(std::memory_order_relaxed) : 0;
}

void FileTypeCounters::SetScanWord(uint32_t number, uint32_t value) {
  if (number < kFileTypeCount) scanWord_[number].store(value, std::memory_order_relaxed);
}

}  // namespace torvane
