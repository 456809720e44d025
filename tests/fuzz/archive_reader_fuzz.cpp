// An archive file of the media agent, as the verify tool reads it: any bytes are read without harm,
// a refused file names an offset inside it, and what is accepted reassembles without reading outside
// the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/archive/ArchiveReader.h"
#include "platform/archive/ArchiveRestore.h"
#include "platform/archive/ArchiveWriter.h"
#include "support/ArchiveTestSupport.h"

namespace {

std::string Path() { return fuzz::ScratchDir() + "/input.qar"; }

// A small archive of every record type, written by the writer.
std::string Sample() {
  const std::string path = fuzz::ScratchDir() + "/seed.qar";
  unlink(path.c_str());
  archive::ArchiveWriter writer;
  std::string error;
  archive::FieldWriter begin;
  begin.U32(archive::kFormatVersion);
  for (int i = 0; i < 5; ++i) begin.I64(i + 1);
  begin.U32(1);
  begin.I32(3);
  begin.I32(103);
  begin.I64(0);
  begin.Text("guid");
  begin.Text("");
  begin.Text("ma1");
  begin.Text("client");
  begin.Bool(false);
  writer.Create(path, error);
  writer.Append(archive::RecordType::kArchiveBegin, begin.Bytes(), nullptr, 0, error);
  writer.Append(archive::RecordType::kExtentHeader,
                archivetest::ExtentHeaderFields("\\guid\\disk\\Extent0", "disk", 4).Bytes(), nullptr, 0, error);
  writer.Append(archive::RecordType::kData, archivetest::DataFields().Bytes(), "abcd", 4, error);
  writer.Append(archive::RecordType::kEndOfItem, archivetest::EndOfItemFields(true).Bytes(), nullptr, 0, error);
  archive::FieldWriter close;
  close.U64(4);
  close.U64(4);
  close.U64(0);
  writer.Append(archive::RecordType::kArchiveEnd, close.Bytes(), nullptr, 0, error);
  writer.Close(error);
  return fuzz::ReadBytes(path);
}

}  // namespace

std::vector<std::string> FuzzSeeds() { return {Sample()}; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzz::WriteBytes(Path(), bytes);
  archive::ArchiveContents contents;
  archive::Problem problem;
  if (!archive::ReadArchive(Path(), contents, problem)) {
    FUZZ_CHECK(problem.offset <= size, problem.Describe());
    FUZZ_CHECK(!problem.text.empty(), "a refusal without a reason");
    return 0;
  }
  // The data of every item lies inside the file.
  for (const archive::Item& item : contents.items) {
    for (const archive::Piece& piece : item.pieces) {
      FUZZ_CHECK(piece.hole || piece.fileOffset + piece.length <= size, item.name);
    }
  }
  return 0;
}
