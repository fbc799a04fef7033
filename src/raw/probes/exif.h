// TIFF structures (image file directories) and the EXIF block of a JPEG, read from hostile
// bytes: every directory, entry and value is checked against the bytes that can be read
// before it is used, entry counts are bounded by the caller, and a damaged structure answers
// false or an empty value, never a read outside the data.
//
// One reader serves the JPEG probe (camera make and model for the name suffix), the TIFF and
// camera RAW probe (classification and the file's extent) and the miniatures (the EXIF
// thumbnail).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "raw/probes/probe_reader.h"
#include "util/bytes.h"

namespace torvane::probes {

// TIFF tags the probes use.
inline constexpr uint16_t kTiffTagStripOffsets = 273;
inline constexpr uint16_t kTiffTagStripByteCounts = 279;
inline constexpr uint16_t kTiffTagMake = 271;
inline constexpr uint16_t kTiffTagModel = 272;
inline constexpr uint16_t kTiffTagOrientation = 274;
inline constexpr uint16_t kTiffTagTileOffsets = 324;
inline constexpr uint16_t kTiffTagTileByteCounts = 325;
inline constexpr uint16_t kTiffTagSubIfds = 330;
inline constexpr uint16_t kTiffTagJpegOffset = 513;  // JPEGInterchangeFormat: the thumbnail
inline constexpr uint16_t kTiffTagJpegLength = 514;
inline constexpr uint16_t kTiffTagXmp = 700;
inline constexpr uint16_t kTiffTagExifIfd = 34665;
inline constexpr uint16_t kTiffTagGpsIfd = 34853;
inline constexpr uint16_t kTiffTagDngVersion = 50706;

// One 12-byte directory entry.
struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t valueField = 0;   // the value's offset, or the value itself when it fits in 4 bytes
  uint32_t entryOffset = 0;  // where the entry lies, from the TIFF header
};

// Bytes of one value of a TIFF field type; 0 for a type TIFF does not define.
uint32_t TiffTypeSize(uint16_t type);

// Reads a TIFF structure whose header lies in memory or on the disk. Offsets are counted from
// the header, as TIFF and EXIF count them. Offsets are 32-bit, so at most 4 GiB past the
// header can be named.
class TiffReader {
 public:
  // The structure in memory: `bytes` starts with the header.
  explicit TiffReader(ByteSpan bytes);
  // The structure on the disk: its header `base` bytes after the candidate's start.
  TiffReader(ProbeReader& reader, uint64_t base);

  // Reads the header ("II*\0" or "MM\0*"); false when it is not one.
  bool Open();
  bool BigEndian() const { return bigEndian_; }
  uint32_t FirstIfd() const { return firstIfd_; }

  // The directory at `offset`: its entries (false when it holds more than `maxEntries`, has
  // none, or does not lie wholly inside the data) and the offset of the next one (0: none).
  bool ReadIfd(uint32_t offset, size_t maxEntries, std::vector<TiffEntry>& entries, uint32_t& next);

  // The value's bytes: inline in the entry or at its offset. Empty when the value does not
  // lie wholly inside the data or is longer than `maxBytes`. Valid until the next call.
  ByteSpan Value(const TiffEntry& entry, size_t maxBytes);
  // Element `index` of a BYTE, SHORT or LONG value (0 when there is none).
  uint32_t Number(const TiffEntry& entry, uint32_t index);
  // All elements of a SHORT, LONG or IFD value, read in pieces; false when there are more than
  // `maxCount` or they do not lie wholly inside the data.
  bool Numbers(const TiffEntry& entry, size_t maxCount, std::vector<uint32_t>& out);
  // An ASCII value up to its NUL, without trailing spaces, at most 255 bytes.
  std::string Ascii(const TiffEntry& entry);
  // Where the value ends, from the header: past the entry's own bytes when it is inline.
  uint64_t ValueEnd(const TiffEntry& entry) const;

  uint16_t U16(ByteSpan b, size_t at) const;
  uint32_t U32(ByteSpan b, size_t at) const;

 private:
  ByteSpan Read(uint64_t offset, size_t size);

  ByteSpan memory_;
  ProbeReader* reader_ = nullptr;
  uint64_t base_ = 0;
  bool bigEndian_ = false;
  uint32_t firstIfd_ = 0;
};

// What the EXIF block of a picture says.
struct ExifInfo {
  std::string make;  // as stored (trimmed), not yet cleaned for a file name
  std::string model;
  uint16_t orientation = 0;  // 1 to 8; 0 = not given
  // The embedded thumbnail (a JPEG), from the TIFF header; length 0 when there is none or it
  // does not lie wholly inside the bytes held.
  uint32_t thumbnailOffset = 0;
  uint32_t thumbnailLength = 0;
};

// The most entries one EXIF directory may have: beyond it the block is taken as damaged.
inline constexpr size_t kExifMaxEntries = 512;

// Parses an EXIF block whose TIFF header starts `tiff` (an APP1 payload after "Exif\0\0").
// False when there is no readable first directory.
bool ParseExifTiff(ByteSpan tiff, ExifInfo& out);
// The same from an APP1 segment's payload, which starts "Exif\0\0".
bool ParseExifApp1(ByteSpan payload, ExifInfo& out);

// "Make Model", or the model alone when it already names the make (Canon's "Canon EOS 5D");
// empty when neither is known.
std::string CameraName(const ExifInfo& info);

}  // namespace torvane::probes
