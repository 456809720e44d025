// The stub record, its states' names and the name lists of the archiving settings.
#include <gtest/gtest.h>

#include "archiving/ArchivingTestSupport.h"

namespace {

using archtest::Stub;
using archtest::StubField;

TEST(StubRecordTest, EveryStateHasItsNameAndAnyOtherIsNotDefined) {
  QuarnVMManagement management(0, nullptr, nullptr, nullptr, std::string());
  const char* const names[] = {"STUB_STATE_UNKNOWN",         "STUB_STATE_TO_BE_STUBBED",
                               "STUB_STATE_ALREADY_STUBBED", "STUB_STATE_IN_PROGRESS",
                               "STUB_STATE_SUCCESSFULLY_STUBBED", "STUB_STATE_NOT_TO_BE_STUBBED",
                               "STUB_STATE_NON_STUB",        "STUB_STATE_FAILED",
                               "STUB_STATE_PRUNED",          "STUB_STATE_TO_BE_RELOCATED",
                               "STUB_STATE_ALREADY_RELOCATED", "STUB_STATE_SUCCESSFULLY_RELOCATED"};
  for (int state = 0; state < 12; ++state) EXPECT_EQ(names[state], management.VMArchGetStubStateString(state));
  for (int state : {-1, 12, 0x7FFFFFFF}) EXPECT_EQ("NOT_DEFINED", management.VMArchGetStubStateString(state)) << state;
}

TEST(StubRecordTest, AGeneratedRecordReadsBackAndARewriteChangesOnlyWhatIsGiven) {
  archtest::ArchivingLab lab;
  vm_params vm = lab.VM(1);
  const std::unique_ptr<QuarnVMManagement> prepared = lab.Management(vm, VMArchivingParams());
  QuarnVMManagement& management = *prepared;
  std::string xml;
  ASSERT_EQ(0, management.VMArchGenerateVMStubData(xml, VMInfoStructs::STUB_STATE_IN_PROGRESS, 4));
  EXPECT_EQ(std::string::npos, xml.find('\n')) << "kept in one option value";
  Stub record;
  ASSERT_TRUE(record.deserialize(xml));
  EXPECT_EQ("1.0.0", record.getstring(Stub::F_stubVersion));
  EXPECT_EQ(1, record.getint64(Stub::F_stubKeyrealmId));
  EXPECT_EQ(1, record.getint64(Stub::F_stubKeyrealmNumber));
  EXPECT_EQ(1, record.getint64(Stub::F_stubSubclientId));
  EXPECT_EQ(3, record.getint64(Stub::F_stubState));
  EXPECT_EQ(archtest::kJob, record.getint64(Stub::F_stubJobId));
  EXPECT_EQ(4, record.getint64(Stub::F_stubRetryCount));
  EXPECT_EQ(101, record.getint64(Stub::F_stubVMClientId));

  struct Case {
    int state;
    unsigned long retries;
    long long vmSize, guestSize;
    int64_t wantState, wantRetries, wantVMSize, wantGuestSize;
  } cases[] = {
      {0, 0, 0, 0, 3, 4, 0, 0},          // nothing given: the record as it was
      {4, 0, 0, 0, 4, 4, 0, 0},
      {0, 9, 0, 0, 3, 9, 0, 0},
      {0, 0, 7340544, 0, 3, 4, 7340544, 0},
      {1, 1, 10, 20, 1, 1, 10, 20},
  };
  for (const Case& c : cases) {
    std::string rewritten = xml;
    ASSERT_EQ(0, QuarnVMManagement::VMArchUpdateVMStubData(rewritten, static_cast<VMInfoStructs::VMStubState>(c.state),
                                                           c.retries, c.vmSize, c.guestSize));
    EXPECT_EQ(c.wantState, StubField(rewritten, Stub::F_stubState));
    EXPECT_EQ(c.wantRetries, StubField(rewritten, Stub::F_stubRetryCount));
    EXPECT_EQ(c.wantVMSize, StubField(rewritten, Stub::F_stubVMSize));
    EXPECT_EQ(c.wantGuestSize, StubField(rewritten, Stub::F_stubGuestSize));
    if (c.state == 0 && c.retries == 0 && c.vmSize == 0) {
      EXPECT_EQ(xml, rewritten);
    }
  }
  // A text that is no stub record is left as it is: the caller's text is never lost.
  for (std::string text : {std::string(), std::string("<not xml"), archtest::StubText(1).substr(5)}) {
    const std::string before = text;
    EXPECT_EQ(0, QuarnVMManagement::VMArchUpdateVMStubData(text, VMInfoStructs::STUB_STATE_PRUNED, 1, 1, 1));
    EXPECT_EQ(before, text);
  }
}

TEST(StubRecordTest, NameListsSplitAtSemicolonsWithQuotesAndEscapes) {
  struct Case {
    const char* list;
    std::vector<std::string> names;
  } cases[] = {
      {"", {}},
      {"vm01", {"vm01"}},
      {"vm01;vm02", {"vm01", "vm02"}},
      {"\"vm01\";\"web;01\"", {"vm01", "web;01"}},
      {"a\\;b;c", {"a;b", "c"}},
      {"\"say \\\"hi\\\"\"", {"say \"hi\""}},
      {";;vm03", {"", "", "vm03"}},
      {"vm01 ;VM02", {"vm01 ", "VM02"}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.names, QuarnVMManagement::SplitVMNameList(c.list)) << c.list;
}

}  // namespace
