// Every declared message of the system survives its wire text and its file form unchanged, with
// every field filled, nested messages and list elements included.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/msg/vsXMLFile.h"
#include "tests/records/messages/CatalogueWalk.h"

namespace {

using catalogue_walk::Diff;
using catalogue_walk::Fill;
using catalogue_walk::SystemMessages;
using catalogue_walk::Values;

class CatalogueRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    CNMessageBase::ResetAccessErrorCount();
    dir_ = catalogue_walk::TempDir();
  }
  void TearDown() override {
    EXPECT_EQ(CNMessageBase::AccessErrorCount(), 0u) << CNMessageBase::LastAccessError();
    std::filesystem::remove_all(dir_);
  }

  // A message of the declared type with every field filled, nested types down to their leaves.
  static std::unique_ptr<CNMessageBase> Filled(const CNMessageDecl& d, const Values& values) {
    std::unique_ptr<CNMessageBase> m = CNMessageBase::Create(d.tagId);
    Fill(*m, values, catalogue_walk::NestingDepth(d.tagId));
    return m;
  }

  // Wire text and file form of one message, each parsed back into a fresh object and compared.
  void ExpectRoundTrips(CNMessageBase& original, const std::string& secret) {
    const CNMessageDecl* d = original.getDecl();
    for (bool compact : {true, false}) {
      SCOPED_TRACE(compact ? "wire text" : "file text");
      std::string xml;
      ASSERT_TRUE(original.serialize(xml, compact));
      if (!secret.empty()) {
        EXPECT_EQ(xml.find(secret), std::string::npos) << "password in clear:\n" << xml;
      }
      // The wire text as a receiver gets it, without knowing the type beforehand; the file text
      // into an object of the expected type.
      std::string error;
      std::unique_ptr<CNMessageBase> back;
      if (compact) {
        back = CNMessageBase::CreateFromXml(xml, &error);
        ASSERT_NE(back, nullptr) << error << "\n" << xml;
        EXPECT_EQ(back->getDecl(), d);
      } else {
        back = CNMessageBase::Create(d->tagId);
        ASSERT_TRUE(back->deserialize(xml, &error)) << error << "\n" << xml;
      }
      EXPECT_EQ(Diff(original, *back), "") << xml;  // element types of lists included
      std::string again;
      ASSERT_TRUE(back->serialize(again, compact));
      EXPECT_EQ(again, xml) << "a second trip changes the text";
    }
    vsXMLFile file(dir_ + "/" + CNMessageCatalogue::TagName(*d) + ".xml");
    ASSERT_TRUE(file.Save(original)) << file.LastError();
    std::unique_ptr<CNMessageBase> loaded = CNMessageBase::Create(d->tagId);
    ASSERT_TRUE(file.Load(*loaded)) << file.LastError();
    EXPECT_EQ(Diff(original, *loaded), "") << "through the file";
  }

  std::string dir_;
};

TEST_F(CatalogueRoundTrip, EveryMessageFullyFilledWithHardTexts) {
  const Values values = catalogue_walk::RichValues();
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = Filled(*d, values);
    // The fill reaches every field of every nested type, so the trip below covers all of them.
    for (const std::string& unset : catalogue_walk::UnsetFields(*m)) ADD_FAILURE() << unset << " was not filled";
    ExpectRoundTrips(*m, "secret");
  }
}

TEST_F(CatalogueRoundTrip, EveryMessageWithEmptyTextsControlCharactersAndLimits) {
  const Values values = catalogue_walk::ExtremeValues();
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = Filled(*d, values);
    ExpectRoundTrips(*m, "");
  }
}

TEST_F(CatalogueRoundTrip, UnsetFieldsStayAbsent) {
  for (const CNMessageDecl* d : SystemMessages()) {
    SCOPED_TRACE(CNMessageCatalogue::TagName(*d));
    std::unique_ptr<CNMessageBase> m = CNMessageBase::Create(d->tagId);
    std::string xml;
    ASSERT_TRUE(m->serialize(xml, true));
    std::unique_ptr<CNMessageBase> back = CNMessageBase::Create(d->tagId);
    ASSERT_TRUE(back->deserialize(xml));
    EXPECT_EQ(catalogue_walk::UnsetFields(*back).size(), d->fields.size()) << xml;
  }
}

}  // namespace
