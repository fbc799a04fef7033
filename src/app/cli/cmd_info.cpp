// torvane info DISK [--json]: format, capacity, extents, parent chain and CID check.
#include <cstdio>

#include "app/cli/args.h"
#include "app/cli/cli_language.h"
#include "app/cli/commands.h"
#include "disk/vdisk/virtual_disk.h"
#include "util/format.h"
#include "util/json_writer.h"

namespace torvane::cli {
namespace {

constexpr const char* kUsage =
    "usage: torvane info DISK [--json]\n\n"
    "Describes a virtual disk: its format (createType), capacity, extents with their files and\n"
    "types, the chain of parent disks, and whether each parent's content ID matches.\n";

std::string Hex32(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

std::string ExtentFileName(const vdisk::Extent& extent) {
  return extent.File() != nullptr ? extent.File()->Path().string() : std::string();
}

const char* CidCheck(const vdisk::VirtualDisk& disk) {
  if (disk.Parent() == nullptr) return "none";
  return disk.ParentCidMatches() ? "ok" : "mismatch";
}

void DescribeJson(JsonWriter& j, const vdisk::VirtualDisk& disk) {
  const auto& d = disk.GetDescriptor();
  j.BeginObject();
  j.Field("path", disk.Path().string());
  j.Field("create_type", disk.CreateType());
  j.Field("raw", disk.IsRaw());
  j.Field("capacity_sectors", disk.Capacity());
  j.Field("capacity_bytes", disk.Capacity() * 512);
  j.Field("cid", Hex32(d.cid));
  j.Field("parent_cid", Hex32(d.parentCid));
  j.Key("extents").BeginArray();
  const auto& lines = d.extents;
  for (size_t i = 0; i < disk.Extents().size(); ++i) {
    const auto& e = *disk.Extents()[i];
    j.BeginObject();
    j.Field("access", std::string(i < lines.size() ? vdisk::ExtentAccessName(lines[i].access) : "RW"));
    j.Field("sectors", e.Sectors());
    j.Field("type", std::string(e.TypeName()));
    j.Field("file", ExtentFileName(e));
    j.Field("offset", i < lines.size() ? lines[i].offset : 0);
    j.EndObject();
  }
  j.EndArray();
  j.Field("cid_check", std::string(CidCheck(disk)));
  j.Key("parent");
  if (disk.Parent() != nullptr)
    DescribeJson(j, *disk.Parent());
  else
    j.Null();
  j.EndObject();
}

// A label of the text description ("Disk:"), padded so that the values line up.
std::string Label(std::string_view key) {
  return PadText(CliText(key), 10);
}

void DescribeText(const vdisk::VirtualDisk& disk, int depth) {
  const auto& d = disk.GetDescriptor();
  const std::string indent(depth * 2, ' ');
  std::printf("%s%s %s\n", indent.c_str(), Label("szInfoDisk").c_str(), disk.Path().c_str());
  std::printf("%s%s %s\n", indent.c_str(), Label("szInfoFormat").c_str(), disk.CreateType().c_str());
  std::printf(
      "%s%s %s\n", indent.c_str(), Label("szInfoCapacity").c_str(),
      CliText("szInfoCapacityValue", {HumanSize(disk.Capacity() * 512), GroupThousands(disk.Capacity())}).c_str());
  if (!disk.IsRaw()) std::printf("%s%s %s\n", indent.c_str(), Label("szInfoCid").c_str(), Hex32(d.cid).c_str());
  std::printf("%s%s\n", indent.c_str(), CliText("szInfoExtents").c_str());
  for (size_t i = 0; i < disk.Extents().size(); ++i) {
    const auto& e = *disk.Extents()[i];
    const char* access = i < d.extents.size() ? vdisk::ExtentAccessName(d.extents[i].access).data() : "RW";
    std::printf("%s  %-8s %15s  %-10s %s\n", indent.c_str(), access, GroupThousands(e.Sectors()).c_str(),
                std::string(e.TypeName()).c_str(), ExtentFileName(e).c_str());
  }
  if (disk.Parent() == nullptr) {
    std::printf("%s%s %s\n", indent.c_str(), Label("szInfoParent").c_str(), CliText("szInfoNoParent").c_str());
    return;
  }
  std::printf("%s%s %s\n", indent.c_str(), Label("szInfoParent").c_str(),
              CliText(disk.ParentCidMatches() ? "szInfoParentMatches" : "szInfoParentMismatch",
                      {d.parentFileNameHint, Hex32(d.parentCid)})
                  .c_str());
  DescribeText(*disk.Parent(), depth + 1);
}

}  // namespace

int RunInfo(const Args& args) {
  ParsedArgs p;
  const int early = ParseCommandLine(args, {kUsage, {"--json"}, {}, 1, 1, CliText("szTakesOneDisk", {"info"}), {}}, p);
  if (early >= 0) return early;
  std::string error;
  auto disk = vdisk::VirtualDisk::Open(p.positional[0], {}, error);
  if (!disk) {
    PrintError(error);
    return 1;
  }
  if (p.Has("--json")) {
    JsonWriter j;
    j.BeginObject();
    j.Key("disk");
    DescribeJson(j, *disk);
    j.Key("warnings").BeginArray();
    for (const auto& w : disk->Warnings()) j.String(w);
    j.EndArray();
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    DescribeText(*disk, 0);
    for (const auto& w : disk->Warnings()) std::printf("%s %s\n", Label("szInfoWarning").c_str(), w.c_str());
  }
  return 0;
}

}  // namespace torvane::cli
