// Fuzz entry points, shared by the libFuzzer targets and by the test that replays their
// corpora. Each feeds arbitrary bytes to one parser and must neither crash nor hang.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvane::fuzz {

// The bytes as a descriptor file.
int FuzzDescriptor(const uint8_t* data, size_t size);
// The bytes as a sparse extent file (header, grain directory and tables), opened and read.
int FuzzSparseExtent(const uint8_t* data, size_t size);
// The bytes as a COWD (vmfsSparse) extent file, opened and read.
int FuzzCowdExtent(const uint8_t* data, size_t size);
// The bytes as an seSparse extent file, opened and read.
int FuzzSeSparseExtent(const uint8_t* data, size_t size);
// The bytes as a disk: its first sector recognised as a volume, with and without the MBR
// entry its first 16 bytes make.
int FuzzRecognizeVolume(const uint8_t* data, size_t size);
// The bytes as a disk whose whole volume list is built.
int FuzzPartitionTables(const uint8_t* data, size_t size);
// The bytes as one MFT record (1 KiB, or 4 KiB when longer) of a volume with a bitmap.
int FuzzRecordToEntry(const uint8_t* data, size_t size);
// The bytes as a runlist, decoded and mapped.
int FuzzRunlist(const uint8_t* data, size_t size);
// The bytes as an LZNT1 compression unit.
int FuzzLznt1(const uint8_t* data, size_t size);
// The bytes as a disk (a boot sector and the sectors after it) opened as one volume with its
// tables, recognised and forced: the tables never take more memory than the disk.
int FuzzOpenVolume(const uint8_t* data, size_t size);
// The bytes as a QuickLZ packet, decoded into the length its header gives (when small) and
// into a fixed 64 KiB; and compressed, which must decode back to the bytes.
int FuzzQuickLz(const uint8_t* data, size_t size);
// The bytes as a scan session file, read whole for a volume of 1,000 clusters.
int FuzzSessionFile(const uint8_t* data, size_t size);
// The bytes as a partition search state file (.tqsp), loaded and written again.
int FuzzSearchState(const uint8_t* data, size_t size);
// The bytes as a partition backup file (.tqb) for a disk of the size it names and of 4096
// sectors.
int FuzzPartitionBackup(const uint8_t* data, size_t size);

// The bytes as a disk in RAW mode, carved forward and in reverse (fuzz_carve_target.cpp).
int FuzzCarve(const uint8_t* data, size_t size);
// The bytes as a disk at a JPEG candidate, measured by the JPEG probe; and as an EXIF block.
int FuzzJpegProbe(const uint8_t* data, size_t size);
// The bytes as a disk at a TIFF candidate, classified and measured; and as an EXIF TIFF block.
int FuzzTiffProbe(const uint8_t* data, size_t size);
// The bytes as a disk at a stream candidate: the MP3, program stream, transport stream and MXF
// probes, and the ID3 tag reader.
int FuzzStreamProbes(const uint8_t* data, size_t size);
// The bytes as a file's first bytes under every content check by extension.
int FuzzContentCheck(const uint8_t* data, size_t size);
// The bytes as a candidate file on a disk (first sector and what follows), run through
// each probe of one family and through the whole identification; a size beyond the disk
// aborts.
int FuzzHeaderFieldProbes(const uint8_t* data, size_t size);
int FuzzIsoMediaProbes(const uint8_t* data, size_t size);
int FuzzZipProbes(const uint8_t* data, size_t size);
int FuzzCompoundFileProbes(const uint8_t* data, size_t size);
int FuzzContainerProbes(const uint8_t* data, size_t size);
// The bytes as an exFAT folder whose entry sets are decoded one after the other.
int FuzzExfatEntrySets(const uint8_t* data, size_t size);
// The bytes as the content of a FAT folder, decoded item by item in every mode.
int FuzzFatDirectory(const uint8_t* data, size_t size);

}  // namespace torvane::fuzz
