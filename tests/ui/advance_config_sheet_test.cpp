#include "ui/advance_config_sheet.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>

#include "alerts/mail_peers.h"
#include "app/advance_config_rules.h"
#include "core/app_state.h"
#include "core/channel_record.h"
#include "core/frame_sink.h"
#include "core/multi_language.h"
#include "core/viewer_settings.h"
#include "platform/text_encoding.h"
#include "support/recording_viewer_ui.h"
#include "support/test_environment.h"
#include "ui/advance_config_about.h"
#include "ui/advance_config_mail.h"
#include "ui/advance_config_mail_address.h"
#include "ui/advance_config_security.h"

namespace ipcam::ui {
namespace {

namespace fs = std::filesystem;
using platform::test_support::ScopedEnv;
using platform::test_support::TempFolder;

std::string lang(std::string_view section, std::string_view key) {
  return CMultiLanguage::instance().text(section, key);
}

// Runs `act` on the first modal dialog of type T that opens while `trigger` runs; true when
// one opened. A dialog `act` leaves open is cancelled, so a fault cannot hang the test.
template <class T>
bool onModal(const std::function<void()>& trigger, const std::function<void(T&)>& act) {
  bool seen = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    if (!seen) {
      seen = true;
      act(*dialog);
    }
    if (dialog->isVisible()) dialog->reject();
  });
  timer.start(10);
  trigger();
  return seen;
}

void retype(QLineEdit* edit, const QString& text) {
  edit->clear();
  QTest::keyClicks(edit, text);
}

// Picks a drop-down entry with the keyboard, as a user would.
void choose(QComboBox* list, int index) {
  list->setFocus();
  for (int i = 0; i < list->count(); ++i) QTest::keyClick(list, Qt::Key_Up);
  for (int i = 0; i < index; ++i) QTest::keyClick(list, Qt::Key_Down);
  ASSERT_EQ(list->currentIndex(), index);
}

void showTab(CAdvanceConfigSheet& sheet, QWidget* page) {
  QTabBar* bar = sheet.tabs()->tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(sheet.tabs()->indexOf(page)).center());
  ASSERT_EQ(sheet.tabs()->currentWidget(), page);
}

std::string settingsFileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 2) return {};
  return platform::utf16ToUtf8(platform::decodeUtf16(bytes.substr(2), false));
}

class BusyRecorder : public FrameSink {
 public:
  bool recording() const override { return true; }
  void writeFrame(std::span<const std::uint8_t>, bool, std::string_view) override {}
  void close() override {}
};

// The sheet in a real window over live settings of the test's own, with the settings file in
// a temp folder and the folder browser answered from a queue.
class OptionsSheetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CMultiLanguage::instance().applyComboIndex(0);
    std::lock_guard lock(settingsMutex());
    savedLive_ = liveSettings();
    savedEdit_ = editSettings();
    liveSettings() = ViewerSettings{};
    liveSettings().settingsPath = settingsFile().string();
  }
  void TearDown() override {
    std::lock_guard lock(settingsMutex());
    liveSettings() = savedLive_;
    editSettings() = savedEdit_;
  }

  fs::path settingsFile() const { return folder_.path() / "avcln.ini"; }
  std::string dir(const std::string& name) const { return (folder_.path() / name).string(); }
  template <class Change>
  void changeLive(Change change) {
    std::lock_guard lock(settingsMutex());
    change(liveSettings());
  }
  ViewerSettings live() const {
    std::lock_guard lock(settingsMutex());
    return liveSettings();
  }
  std::unique_ptr<CAdvanceConfigSheet> openSheet() {
    auto sheet = std::make_unique<CAdvanceConfigSheet>(
        ui_, nullptr, [this](QWidget*, const std::string& start) -> std::optional<std::string> {
          browsedFrom_.push_back(start);
          if (folderAnswers_.empty()) return std::nullopt;
          auto answer = folderAnswers_.front();
          folderAnswers_.pop_front();
          return answer;
        });
    sheet->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet.get()));
    return sheet;
  }
  // The texts of the message boxes so far, forgotten afterwards.
  std::vector<std::string> takeMessages() {
    std::vector<std::string> texts;
    for (const auto& message : ui_.messages()) texts.push_back(message.text);
    ui_.clear();
    return texts;
  }

  TempFolder folder_;
  ScopedEnv resourcesEnv_{"IPCAM_RESOURCES", IPCAM_RESOURCE_DIR};
  ViewerSettings savedLive_;
  ViewerSettings savedEdit_;
  testing::RecordingViewerUi ui_;
  std::deque<std::optional<std::string>> folderAnswers_;
  std::vector<std::string> browsedFrom_;
};

TEST_F(OptionsSheetTest, EscapeChangesNothingAndEnterAppliesTheShownPagesAndWritesTheFile) {
  // A port no page would store: it shows whether the e-mail page applied.
  changeLive([](ViewerSettings& s) {
    s.scanTime = 5;
    s.smtpPort = 70000;
  });
  {
    const auto sheet = openSheet();
    EXPECT_EQ(sheet->windowTitle().toStdString(),
              lang("AdvanceConfig", "PropertyPage_AdvanceConfig"));
    const char* tabKeys[] = {"PropertyPage_General", "PropertyPage_EMailSetting",
                             "PropertyPage_Security", "PropertyPage_About"};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(sheet->tabs()->tabText(i).toStdString(), lang("AdvanceConfig", tabKeys[i]));
    }
    EXPECT_EQ(sheet->okButton()->text().toStdString(), lang("AdvanceConfig", "Button_OK"));
    EXPECT_EQ(sheet->cancelButton()->text().toStdString(), lang("AdvanceConfig", "Button_Cancel"));
    EXPECT_EQ(sheet->aboutPage()->versionLabel()->text().toStdString(),
              lang("AdvanceConfigAbout", "Static_Version") + ": " + versionText());

    EXPECT_EQ(sheet->generalPage()->scanTimeList()->currentText(), "5");
    choose(sheet->generalPage()->scanTimeList(), 3);
    QTest::keyClick(sheet.get(), Qt::Key_Escape);
    EXPECT_FALSE(sheet->isVisible());
  }
  EXPECT_EQ(live().scanTime, 5);
  EXPECT_FALSE(fs::exists(settingsFile()));

  const auto sheet = openSheet();
  choose(sheet->generalPage()->scanTimeList(), 3);
  choose(sheet->generalPage()->fileSizeList(), 4);
  QTest::keyClick(sheet->generalPage()->scanTimeList(), Qt::Key_Return);
  EXPECT_FALSE(sheet->isVisible());
  EXPECT_EQ(sheet->result(), QDialog::Accepted);
  EXPECT_EQ(live().scanTime, 10);
  EXPECT_EQ(live().fileSize, 500);
  EXPECT_EQ(ui_.scanInterval(), 10);
  EXPECT_EQ(live().smtpPort, 70000) << "the e-mail page was never shown";
  const std::string text = settingsFileText(settingsFile());
  EXPECT_NE(text.find("ScanTime=10\r\n"), std::string::npos);
  EXPECT_NE(text.find("FileSize=500\r\n"), std::string::npos);
}

// A settings file that cannot be written is said, not passed over: the changes still apply to
// this run, and the user learns they will not be there at the next start.
TEST_F(OptionsSheetTest, SettingsThatCannotBeSavedAreSaid) {
  const fs::path notAFolder = folder_.path() / "plain-file";
  std::ofstream(notAFolder) << "x";
  changeLive([&](ViewerSettings& s) { s.settingsPath = (notAFolder / "avcln.ini").string(); });
  const auto sheet = openSheet();
  choose(sheet->generalPage()->scanTimeList(), 3);
  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  EXPECT_FALSE(sheet->isVisible());
  EXPECT_EQ(live().scanTime, 10);
  const auto messages = ui_.messages();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].text, lang("MessageBox", "Message_SettingsNotSaved"));
  EXPECT_TRUE(messages[0].posted);
}

TEST_F(OptionsSheetTest, DirectoryButtonsRefuseWhatTheRulesForbid) {
  const auto sheet = openSheet();
  CAdvanceConfigGeneral& page = *sheet->generalPage();
  QTreeWidget& list = *page.directoryList();

  // A folder is chosen; a cancelled browser changes nothing; a second folder on the same
  // file system is refused.
  folderAnswers_ = {dir("a"), std::nullopt, dir("b")};
  QTest::mouseClick(page.newButton(), Qt::LeftButton);
  QTest::mouseClick(page.newButton(), Qt::LeftButton);
  QTest::mouseClick(page.newButton(), Qt::LeftButton);
  EXPECT_EQ(takeMessages(), std::vector<std::string>{lang(kGeneralSection, kSameFileSystem)});
  ASSERT_EQ(list.topLevelItemCount(), 1);
  EXPECT_EQ(list.topLevelItem(0)->text(0).toStdString(), dir("a"));
  EXPECT_TRUE(list.topLevelItem(0)->text(1).endsWith(
      " " + QString::fromStdString(lang(kGeneralSection, "Static_MB"))));
  EXPECT_EQ(page.directories(), (RecordDirs{dir("a"), "", ""}));

  // Edit without a line does nothing; with one, the browser starts at its directory.
  browsedFrom_.clear();
  QTest::mouseClick(page.editButton(), Qt::LeftButton);
  EXPECT_TRUE(browsedFrom_.empty());
  list.setCurrentItem(list.topLevelItem(0));
  folderAnswers_ = {dir("c")};
  QTest::mouseClick(page.editButton(), Qt::LeftButton);
  EXPECT_EQ(browsedFrom_, std::vector<std::string>{dir("a")});
  EXPECT_EQ(page.directories(), (RecordDirs{dir("c"), "", ""}));
  EXPECT_TRUE(takeMessages().empty());

  // While any channel records, every button is refused.
  {
    ChannelRecord& record = channelRecord(6);
    const auto saved = record.motionRecorder;
    record.motionRecorder = std::make_shared<BusyRecorder>();
    list.setCurrentItem(list.topLevelItem(0));
    for (QPushButton* button : {page.newButton(), page.editButton(), page.deleteButton()}) {
      QTest::mouseClick(button, Qt::LeftButton);
    }
    record.motionRecorder = saved;
  }
  EXPECT_EQ(takeMessages(), std::vector<std::string>(3, lang(kGeneralSection, kNoChangePath)));
  EXPECT_EQ(page.directories(), (RecordDirs{dir("c"), "", ""}));

  list.setCurrentItem(list.topLevelItem(0));
  QTest::mouseClick(page.deleteButton(), Qt::LeftButton);
  EXPECT_EQ(list.topLevelItemCount(), 0);
  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  EXPECT_EQ(live().recPath, (RecordDirs{"", "", ""}));
}

TEST_F(OptionsSheetTest, FourthDirectoryIsRefusedAndOkMakesTheFolders) {
  changeLive([this](ViewerSettings& s) { s.recPath = {dir("a"), dir("b"), dir("c")}; });
  const auto sheet = openSheet();
  CAdvanceConfigGeneral& page = *sheet->generalPage();
  EXPECT_EQ(page.directoryList()->topLevelItemCount(), 3);
  // Not made yet: no free space to show.
  EXPECT_TRUE(page.directoryList()->topLevelItem(0)->text(1).startsWith("0 "));
  QTest::mouseClick(page.newButton(), Qt::LeftButton);
  EXPECT_EQ(takeMessages(), std::vector<std::string>{lang(kGeneralSection, kAllRecordDirsUsed)});

  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  EXPECT_FALSE(sheet->isVisible());
  for (const char* name : {"a", "b", "c"}) {
    EXPECT_TRUE(fs::is_directory(folder_.path() / name / "Data" / "Record" / "Camera 16")) << name;
  }
}

TEST_F(OptionsSheetTest, RecipientDialogRefusesBadAndRepeatedAddressesAndKeepsItsOwn) {
  changeLive([](ViewerSettings& s) { s.recipient[0] = "first@example.com"; });
  const auto sheet = openSheet();
  showTab(*sheet, sheet->mailPage());
  const CAdvanceConfigMail::Controls& c = sheet->mailPage()->controls();

  QTest::mouseClick(c.editButton, Qt::LeftButton);
  QTest::mouseClick(c.deleteButton, Qt::LeftButton);
  EXPECT_EQ(takeMessages(), (std::vector<std::string>{lang(kMailSection, kSelectAddressToEdit),
                                                      lang(kMailSection, kSelectAddressToRemove)}));

  std::vector<std::string> refusals;
  bool stayedOpen = false;
  EXPECT_TRUE(onModal<CAdvanceConfigMailAddress>(
      [&] { QTest::mouseClick(c.newButton, Qt::LeftButton); },
      [&](CAdvanceConfigMailAddress& dialog) {
        QTest::keyClicks(dialog.addressEdit(), "nobody.example.com");
        QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
        retype(dialog.addressEdit(), "first@example.com");
        QTest::keyClick(dialog.addressEdit(), Qt::Key_Return);
        refusals = takeMessages();
        stayedOpen = dialog.isVisible();
        retype(dialog.addressEdit(), "second@example.com");
        QTest::keyClick(dialog.addressEdit(), Qt::Key_Return);
      }));
  EXPECT_TRUE(stayedOpen);
  EXPECT_EQ(refusals, (std::vector<std::string>{lang(kMailSection, kMailAddressError),
                                                lang(kMailSection, kMailAddressExisted)}));
  ASSERT_EQ(c.recipients->count(), 2);
  EXPECT_EQ(c.recipients->item(1)->text(), "second@example.com");

  // Editing a slot and keeping its own address is fine.
  c.recipients->setCurrentRow(1);
  EXPECT_TRUE(onModal<CAdvanceConfigMailAddress>(
      [&] { QTest::mouseClick(c.editButton, Qt::LeftButton); },
      [&](CAdvanceConfigMailAddress& dialog) {
        EXPECT_EQ(dialog.addressEdit()->text(), "second@example.com");
        QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
        EXPECT_FALSE(dialog.isVisible());
      }));
  EXPECT_TRUE(takeMessages().empty());

  c.recipients->setCurrentRow(0);
  QTest::mouseClick(c.deleteButton, Qt::LeftButton);
  ASSERT_EQ(c.recipients->count(), 1);
  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  EXPECT_EQ(live().recipient[0], "second@example.com");
  EXPECT_EQ(live().recipient[1], "");
}

TEST_F(OptionsSheetTest, SeventeenthRecipientIsRefused) {
  changeLive([](ViewerSettings& s) {
    for (int i = 0; i < kRecipientCount; ++i) {
      s.recipient[static_cast<std::size_t>(i)] = "r" + std::to_string(i) + "@example.com";
    }
  });
  const auto sheet = openSheet();
  showTab(*sheet, sheet->mailPage());
  EXPECT_FALSE(onModal<CAdvanceConfigMailAddress>(
      [&] { QTest::mouseClick(sheet->mailPage()->controls().newButton, Qt::LeftButton); },
      [](CAdvanceConfigMailAddress&) {}));
  EXPECT_EQ(takeMessages(), std::vector<std::string>{lang(kMailSection, kMailListFull)});
}

TEST_F(OptionsSheetTest, ProviderPresetsAuthenticationAndPorts) {
  changeLive([](ViewerSettings& s) {
    s.smtpServer = "mail.example.net";
    s.smtpPort = 2525;
    s.pop3Port = 0;
  });
  const auto sheet = openSheet();
  showTab(*sheet, sheet->mailPage());
  const CAdvanceConfigMail::Controls& c = sheet->mailPage()->controls();
  EXPECT_EQ(c.pop3Port->text(), "110");

  // Authentication off: its fields and the security list are off too; so are the POP3 fields.
  EXPECT_TRUE(c.smtpAuthOff->isChecked());
  for (QWidget* off : std::initializer_list<QWidget*>{c.security, c.smtpAccount, c.smtpPassword,
                                                      c.pop3Server, c.pop3Port, c.pop3Account}) {
    EXPECT_FALSE(off->isEnabled()) << off->metaObject()->className();
  }
  QTest::mouseClick(c.smtpAuthOn, Qt::LeftButton);
  QTest::mouseClick(c.pop3On, Qt::LeftButton);
  for (QWidget* on : std::initializer_list<QWidget*>{c.security, c.smtpAccount, c.pop3Server}) {
    EXPECT_TRUE(on->isEnabled());
  }

  choose(c.security, kSecurityTlsGmail);
  EXPECT_EQ(c.smtpServer->text(), "smtp.gmail.com");
  EXPECT_EQ(c.smtpPort->text(), "587");
  choose(c.security, kSecurityNone);
  EXPECT_EQ(c.smtpServer->text(), "mail.example.net");
  EXPECT_EQ(c.smtpPort->text(), "2525");
  choose(c.security, kSecuritySslYahoo);

  // Letters do not get in; a number outside 1..65535 is stored as the protocol's port.
  retype(c.smtpPort, "7x0000");
  EXPECT_EQ(c.smtpPort->text(), "70000");
  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  const ViewerSettings stored = live();
  EXPECT_EQ(stored.smtpServer, "smtp.mail.yahoo.com");
  EXPECT_EQ(stored.smtpPort, 25);
  EXPECT_EQ(stored.pop3Port, 110);
  EXPECT_EQ(stored.smtpAuth, 1);
  EXPECT_EQ(stored.pop3BeforeSmtp, 1);
  EXPECT_EQ(stored.smtpSslTls, kSecuritySslYahoo);
}

TEST_F(OptionsSheetTest, SecurityPageRefusalsKeepTheSheetOpenAndEverythingUnchanged) {
  struct Case {
    const char* password;
    const char* confirmation;
    std::string_view message;
  };
  const Case cases[] = {
      {"", "", kPasswordError},
      {"abc", "abd", kPasswordError},
      {"12345678901234567", "12345678901234567", kPasswordTooLong},
  };
  changeLive([](ViewerSettings& s) { s.scanTime = 5; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    const auto sheet = openSheet();
    // A change on another page must not go through either.
    choose(sheet->generalPage()->scanTimeList(), 0);
    CAdvanceConfigSecurity& page = *sheet->securityPage();
    showTab(*sheet, &page);
    EXPECT_FALSE(page.passwordEdit()->isEnabled());
    QTest::mouseClick(page.enableButton(), Qt::LeftButton);
    ASSERT_TRUE(page.passwordEdit()->isEnabled());
    EXPECT_EQ(page.passwordEdit()->echoMode(), QLineEdit::Password);
    QTest::keyClicks(page.passwordEdit(), c.password);
    QTest::keyClicks(page.confirmationEdit(), c.confirmation);
    QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
    EXPECT_EQ(takeMessages(), std::vector<std::string>{lang(kSecuritySection, c.message)});
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->tabs()->currentWidget(), &page);
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(live().scanTime, 5);
    EXPECT_EQ(live().securityEnable, 0);
  }
  EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(OptionsSheetTest, PasswordIsStoredAsItsDigestAndUntouchedEditsKeepIt) {
  const std::string abc = "900150983cd24fb0d6963f7d28e17f72";
  {
    const auto sheet = openSheet();
    CAdvanceConfigSecurity& page = *sheet->securityPage();
    showTab(*sheet, &page);
    QTest::mouseClick(page.enableButton(), Qt::LeftButton);
    QTest::keyClicks(page.passwordEdit(), "abc");
    QTest::keyClicks(page.confirmationEdit(), "abc");
    QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
    EXPECT_FALSE(sheet->isVisible());
  }
  EXPECT_TRUE(takeMessages().empty());
  EXPECT_EQ(live().securityEnable, 1);
  EXPECT_EQ(live().securityPassword, abc);
  EXPECT_NE(settingsFileText(settingsFile()).find("[Security]\r\nEnable=1\r\nPassword=" + abc),
            std::string::npos);

  const auto sheet = openSheet();
  CAdvanceConfigSecurity& page = *sheet->securityPage();
  showTab(*sheet, &page);
  EXPECT_TRUE(page.enableButton()->isChecked());
  EXPECT_EQ(page.passwordEdit()->text().toStdString(), abc);
  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  EXPECT_TRUE(takeMessages().empty());
  EXPECT_EQ(live().securityPassword, abc);
}

TEST_F(OptionsSheetTest, LanguageChangeRetextsTheOpenSheet) {
  const auto sheet = openSheet();
  showTab(*sheet, sheet->mailPage());
  const auto texts = [&sheet] {
    return std::vector<QString>{sheet->windowTitle(),
                                sheet->tabs()->tabText(0),
                                sheet->okButton()->text(),
                                sheet->generalPage()->newButton()->text(),
                                sheet->generalPage()->recCycleList()->itemText(1),
                                sheet->mailPage()->controls().smtpAuthOn->text(),
                                sheet->securityPage()->enableButton()->text(),
                                sheet->aboutPage()->informationLabel()->text()};
  };
  const std::vector<QString> english = texts();
  for (const QString& text : english) EXPECT_FALSE(text.isEmpty());

  // Russian: every text changes, none is left empty.
  CMultiLanguage::instance().applyComboIndex(1);
  QEvent change(QEvent::LanguageChange);
  QApplication::sendEvent(sheet.get(), &change);
  const std::vector<QString> russian = texts();
  for (std::size_t i = 0; i < russian.size(); ++i) {
    EXPECT_FALSE(russian[i].isEmpty()) << i;
    EXPECT_NE(russian[i], english[i]) << russian[i].toStdString();
  }

  CMultiLanguage::instance().applyComboIndex(0);
  QApplication::sendEvent(sheet.get(), &change);
  EXPECT_EQ(texts(), english);
}

// The test-mail button against a real mail server on 127.0.0.1 whose certificate signs itself:
// the page says why it failed, offers the fingerprint, and after "trust" the mail goes out and
// the pin is stored. The window keeps working while a mail is on its way.
TEST_F(OptionsSheetTest, TestMailNamesAnUntrustedCertificateAndSendsOnceItIsTrusted) {
  TempFolder certFolder;
  testing::TestCertificates certs(certFolder.path());
  ASSERT_TRUE(certs.ok && certs.selfSigned("private", "mail.private.lan"));
  const std::string fingerprint = certs.fingerprint("private");
  testing::SmtpPeer peer("tls", "", certs.path("private.pem"), certs.path("private.key"));
  ASSERT_GT(peer.port(), 0);
  changeLive([&](ViewerSettings& s) {
    s.recipient[0] = "guard@site.test";
    s.subject = "Camera test";
    s.sender = "viewer@site.test";
    s.smtpServer = "127.0.0.1";
    s.smtpPort = 2525;
    s.smtpAuth = 1;
    s.smtpAccount = "cam";
    s.smtpPassword = "secret";
    s.smtpSslTls = kSecuritySsl;
  });
  const auto sheet = openSheet();
  CAdvanceConfigMail& page = *sheet->mailPage();
  showTab(*sheet, &page);
  const CAdvanceConfigMail::Controls& c = page.controls();
  EXPECT_EQ(c.testMailButton->text().toStdString(), "Send test e-mail");
  EXPECT_FALSE(c.trustButton->isVisible());
  EXPECT_FALSE(c.trustedCertificate->isVisible());
  // The page's values as they are now, not the stored ones.
  retype(c.smtpPort, QString::number(peer.port()));

  const auto sendAndWait = [&] {
    QTest::mouseClick(c.testMailButton, Qt::LeftButton);
    EXPECT_EQ(c.testMailAnswer->text().toStdString(), lang(kMailSection, kTestMailSending));
    EXPECT_FALSE(c.testMailButton->isEnabled());
    return QTest::qWaitFor([&] { return !page.testMailRunning(); }, 60000);
  };
  ASSERT_TRUE(sendAndWait());
  const std::string refused = c.testMailAnswer->text().toStdString();
  EXPECT_TRUE(refused.starts_with(lang(kMailSection, kCertificateNotTrusted))) << refused;
  EXPECT_NE(refused.find(fingerprint.substr(0, 47)), std::string::npos) << refused;
  EXPECT_NE(refused.find(fingerprint.substr(48)), std::string::npos) << refused;
  EXPECT_TRUE(c.testMailButton->isEnabled());
  ASSERT_TRUE(c.trustButton->isVisible());
  EXPECT_FALSE(peer.anyMail());
  const char* shots = std::getenv("IPCAM_SCREENSHOT_DIR");
  if (shots != nullptr) sheet->grab().save(QString::fromUtf8(shots) + "/mail_page_untrusted.png");

  EXPECT_EQ(c.trustButton->text().toStdString(), "Trust this certificate");
  QTest::mouseClick(c.trustButton, Qt::LeftButton);
  EXPECT_FALSE(c.trustButton->isVisible());
  EXPECT_EQ(page.pinnedCertificate(), fingerprint);
  EXPECT_TRUE(c.trustedCertificate->isVisible());
  ASSERT_TRUE(sendAndWait());
  EXPECT_EQ(c.testMailAnswer->text().toStdString(), "The test e-mail was sent.");
  const auto mail = peer.mail(1);
  ASSERT_TRUE(mail.has_value());
  EXPECT_EQ(mail->info.at("subject"), "Camera test");
  EXPECT_EQ(mail->info.at("to"), "guard@site.test");
  if (shots != nullptr) sheet->grab().save(QString::fromUtf8(shots) + "/mail_page_pinned.png");

  QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
  EXPECT_EQ(live().smtpCertificatePin, fingerprint);
  EXPECT_NE(settingsFileText(settingsFile()).find("SMTP_Cert_SHA256=" + fingerprint),
            std::string::npos);
}

// A pin belongs to the server it was taken from: editing the server or the port drops it.
TEST_F(OptionsSheetTest, EditingTheServerForgetsThePin) {
  std::string canonical;
  for (int i = 0; i < 32; ++i) canonical += std::string(i > 0 ? ":" : "") + "AB";
  for (const bool editPort : {false, true}) {
    changeLive([&](ViewerSettings& s) {
      s.smtpServer = "mail.private.lan";
      s.smtpCertificatePin = canonical;
    });
    const auto sheet = openSheet();
    CAdvanceConfigMail& page = *sheet->mailPage();
    showTab(*sheet, &page);
    EXPECT_EQ(page.pinnedCertificate(), canonical);
    QTest::keyClicks(editPort ? page.controls().smtpPort : page.controls().smtpServer, "2");
    EXPECT_EQ(page.pinnedCertificate(), "");
    QTest::mouseClick(sheet->okButton(), Qt::LeftButton);
    EXPECT_EQ(live().smtpCertificatePin, "") << editPort;
  }
}

}  // namespace
}  // namespace ipcam::ui
