#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Fixed-size records exchanged with the file-transfer, subclient and index libraries. Their sizes
// are those the libraries expect; the system only zeroes them, fills what it uses and passes
// them on.

// Subclient directory and files, filled by GetSubclientDirAndFiles.
struct subclientFiles {
  subclientFiles() {
    firstNumber = 0;
    secondNumber = 0;
    subclientDir[0] = '\0';
    for (auto& text : files) text[0] = '\0';
    lastText[0] = '\0';
  }

  int64_t firstNumber;
  int64_t secondNumber;
  char subclientDir[1025];
  // files[0] is the job-results directory.
  char files[9][1024];
  char lastText[1024];
};

struct ztsFilexferRequest {
  ztsFilexferRequest() {
    std::memset(sourceFolder, 0, sizeof(sourceFolder));
    std::memset(fileName, 0, sizeof(fileName));
    number = 0;
    firstValue = secondValue = thirdValue = 0;
    std::memset(destinationFolder, 0, sizeof(destinationFolder));
    std::memset(numbers, 0, sizeof(numbers));
  }

  char sourceFolder[1024];
  char fileName[1024];
  int64_t number;
  int32_t firstValue;
  int32_t secondValue;
  int32_t thirdValue;
  char destinationFolder[1024];
  uint8_t numbers[20];
};

struct _ZTS_FILE_COPY_INFO {
  _ZTS_FILE_COPY_INFO() { std::memset(libraryFields, 0, sizeof(libraryFields)); }

  uint8_t libraryFields[1032];
  ztsFilexferRequest request;  // zeroed by its own constructor
};

// One request of the log-archiver batch: the coordinator fills the VM GUID, the VM's child job
// id, the subclient id and a zero in the last number; the rest stays empty.
struct VMArchiveIndexParam {
  int32_t firstNumber = 0;
  std::string vmGuid;
  int64_t childJobId = 0;
  int64_t subclientId = 0;
  int32_t value1 = 0;
  int32_t value2 = 0;
  int64_t wide1 = 0;
  int64_t wide2 = 0;
  int64_t wide3 = 0;
  int64_t wide4 = 0;
  std::string text2;
  std::string text3;
  int32_t tail1 = 0;
  int32_t tail2 = 0;
  int32_t lastNumber = 0;
};

// Checksum of one extent: the extent number as two 32-bit words, high word first, then the CRC.
struct TVMCRCRecord {
  TVMCRCRecord() { initialize(); }
  void initialize() {
    extentHigh = 0;
    extentLow = 0;
    crc = 0;
  }

  uint32_t extentHigh;
  uint32_t extentLow;
  uint32_t crc;
};

struct TImageTreeRecord2 {
  TImageTreeRecord2() {
    number = 0;
    std::memset(data, 0, sizeof(data));
  }

  int32_t number;
  char data[39];
};

static_assert(sizeof(TVMCRCRecord) == 12, "checksum record is 12 bytes");
static_assert(offsetof(_ZTS_FILE_COPY_INFO, request) == 1032, "the request follows the library's fields");
