#include "run_status/install_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "platform/localization.h"

namespace installer {
namespace {

const char kHint[] = "Please make sure you have Internet connection and try again.";

// Upper-case canonical text of a random (version 4) UUID.
bool isUpperCaseUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'A' && s[i] <= 'F'))) {
      return false;
    }
  }
  return s[14] == '4' && (s[19] == '8' || s[19] == '9' || s[19] == 'A' || s[19] == 'B');
}

TEST(InstallStageTest, StatusTextAndBusy) {
  struct Case {
    InstallStage stage;
    const char* text;
    bool busy;
  };
  const Case cases[] = {
      {InstallStage::idle, "", false},
      {InstallStage::checking, "Checking for updates", true},
      {InstallStage::downloading, "Downloading", true},
      {InstallStage::verifying, "Downloading", true},
      {InstallStage::mounting, "Installing", true},
      {InstallStage::installing, "Installing", true},
      {InstallStage::finished, "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(statusText(c.stage), c.text) << static_cast<int>(c.stage);
    EXPECT_EQ(isBusy(c.stage), c.busy) << static_cast<int>(c.stage);
  }
  // The ordinals are part of the contract.
  EXPECT_EQ(static_cast<int>(InstallStage::idle), 0);
  EXPECT_EQ(static_cast<int>(InstallStage::finished), 6);
}

TEST(InstallStageTest, StatusTextIsLookedUpByItsEnglishText) {
  platform::ScopedLocalizationOverride table(
      std::map<std::string, std::string>{{"Downloading", "Herunterladen"}});
  EXPECT_EQ(statusText(InstallStage::verifying), "Herunterladen");
  EXPECT_EQ(statusText(InstallStage::installing), "Installing");  // no translation: the key
}

TEST(TransferProgressTest, PercentText) {
  struct Case {
    std::int64_t received, expected;
    const char* text;
  };
  const Case cases[] = {
      {5, 0, "0.0%"},            // unknown total
      {5, -1, "0.0%"},
      {150, 100, "100.0%"},      // clamped
      {1, 3, "33.3%"},
      {2, 3, "66.7%"},
      {0, 100, "0.0%"},
      {-5, 100, "0.0%"},         // negative fraction
      {1, 1000, "0.1%"},
      {999, 1000, "99.9%"},
      {100, 100, "100.0%"},
      {std::numeric_limits<std::int64_t>::max(), 1, "100.0%"},
      {1, std::numeric_limits<std::int64_t>::max(), "0.0%"},
  };
  for (const auto& c : cases) {
    TransferProgress p;
    p.received = c.received;
    p.expected = c.expected;
    EXPECT_EQ(percentText(p), c.text) << c.received << "/" << c.expected;
  }
}

TEST(TransferProgressTest, Equality) {
  TransferProgress a{10, 100, 5.5, 3.0};
  TransferProgress b = a;
  EXPECT_EQ(a, b);

  b.remaining = std::nullopt;
  EXPECT_NE(a, b);
  a.remaining = 0.0;
  EXPECT_NE(a, b);  // absent versus 0
  a.remaining = std::nullopt;
  EXPECT_EQ(a, b);

  b.bytesPerSecond = std::nan("");
  TransferProgress c = b;
  EXPECT_NE(b, c);  // a NaN speed never compares equal, not even to itself

  TransferProgress d = a;
  d.received = 11;
  EXPECT_NE(a, d);
}

TEST(InstallFailureTest, TitlesAndMessages) {
  const std::string sizeMessage = std::string(kHint) + "\nsize mismatch";
  EXPECT_EQ(failureMessage(failure::verifyFailed{"size mismatch"}), sizeMessage);
  EXPECT_EQ(failureMessage(failure::network{"timed out"}), kHint);
  EXPECT_EQ(failureMessage(failure::noDownloadURL{}), kHint);
  EXPECT_EQ(failureMessage(failure::cancelled{}), kHint);
  EXPECT_EQ(failureMessage(failure::systemTooOld{}),
            "The current macOS version is too old to run the software. Please try to download "
            "system-supported version of the software and reinstall.");

  EXPECT_EQ(failureTitle(failure::systemTooOld{}), "The current macOS version is too old.");
  EXPECT_EQ(failureTitle(failure::network{"x"}), "An error occurred during installation.");
  EXPECT_EQ(failureTitle(failure::cancelled{}), "An error occurred during installation.");

  // Every payload case except network shows its detail on a second line.
  const InstallFailure withDetail[] = {
      failure::diskSpace{"d"},       failure::verifyFailed{"d"},     failure::mountFailed{"d"},
      failure::extractFailed{"d"},   failure::permissionDenied{"d"}, failure::installFailed{"d"},
      failure::launchFailed{"d"},    failure::checkUpdateFailed{"d"}};
  for (const auto& f : withDetail) {
    EXPECT_EQ(failureMessage(f), std::string(kHint) + "\nd") << failureCaseName(f);
    EXPECT_EQ(failureDetail(f), "d");
  }
}

TEST(InstallFailureTest, MessageTranslatesTheSentenceButNotTheDetail) {
  platform::ScopedLocalizationOverride table(std::map<std::string, std::string>{
      {kHint, "Bitte Internet prüfen."},
                                              {"size mismatch", "never used"}});
  EXPECT_EQ(failureMessage(failure::verifyFailed{"size mismatch"}),
            "Bitte Internet prüfen.\nsize mismatch");
  EXPECT_EQ(failureMessage(failure::network{"x"}), "Bitte Internet prüfen.");
}

TEST(InstallFailureTest, EqualityNamesAndBox) {
  EXPECT_EQ(InstallFailure(failure::network{"a"}), InstallFailure(failure::network{"a"}));
  EXPECT_NE(InstallFailure(failure::network{"a"}), InstallFailure(failure::network{"b"}));
  EXPECT_NE(InstallFailure(failure::network{"a"}), InstallFailure(failure::diskSpace{"a"}));
  EXPECT_EQ(InstallFailure(failure::cancelled{}), InstallFailure(failure::cancelled{}));

  EXPECT_EQ(failureCaseName(failure::checkUpdateFailed{}), "checkUpdateFailed");
  EXPECT_EQ(failureCaseName(failure::systemTooOld{}), "systemTooOld");
  EXPECT_EQ(failureCaseName(failure::cancelled{}), "cancelled");
  EXPECT_EQ(failureDetail(failure::noDownloadURL{}), "");

  try {
    throw FailureBox(failure::permissionDenied{"/Applications"});
  } catch (const std::exception& e) {
    const auto* box = dynamic_cast<const FailureBox*>(&e);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->failure(), InstallFailure(failure::permissionDenied{"/Applications"}));
    EXPECT_STREQ(e.what(), "permissionDenied: /Applications");
  }
  EXPECT_STREQ(FailureBox(failure::systemTooOld{}).what(), "systemTooOld");
}

TEST(DialogTest, EveryDialogAndActionIsNew) {
  int ran = 0;
  DialogAction ok("OK", DialogAction::Role::primary, [&] { ++ran; });
  DialogAction ok2("OK", DialogAction::Role::primary, [&] { ++ran; });
  EXPECT_NE(ok, ok2);
  EXPECT_EQ(ok, ok);
  DialogAction copy = ok;
  EXPECT_EQ(copy, ok);  // identity travels with the copy
  copy.handler();
  EXPECT_EQ(ran, 1);

  DialogSpec a("Title", "Message", {ok});
  DialogSpec b("Title", "Message", {ok});
  EXPECT_NE(a, b);
  EXPECT_TRUE(a.showsIcon);
  EXPECT_EQ(a.actions.size(), 1u);

  EXPECT_TRUE(isUpperCaseUUID(a.id)) << a.id;
  EXPECT_TRUE(isUpperCaseUUID(ok.id)) << ok.id;

  std::set<std::string> ids;
  for (int i = 0; i < 200; ++i) ids.insert(DialogSpec("t", "m", {}).id);
  EXPECT_EQ(ids.size(), 200u);
}

TEST(ByteCountTest, FileStyleDecimalUnits) {
  struct Case {
    std::int64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "Zero KB"},
      {1, "1 KB"},               // never "0 KB" for data
      {499, "1 KB"},
      {500, "1 KB"},
      {1000, "1 KB"},
      {1499, "1 KB"},
      {1500, "2 KB"},
      {999000, "999 KB"},
      {999499, "999 KB"},
      {999500, "1 MB"},          // rounding carries into the next unit
      {1000000, "1 MB"},
      {2500000, "2.5 MB"},
      {2549999, "2.5 MB"},
      {10000000, "10 MB"},
      {123456789, "123.5 MB"},
      {999949999, "999.9 MB"},
      {999950000, "1 GB"},
      {1000000000, "1 GB"},
      {1230000000, "1.23 GB"},
      {1500000000, "1.5 GB"},
      {1234567890123, "1,234.57 GB"},
      {-2500000, "-2.5 MB"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatByteCount(c.bytes), c.text) << c.bytes;
  }
}

}  // namespace
}  // namespace installer
