#include "ui/advance_config_setting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <array>
#include <charconv>
#include <string_view>
#include <utility>

#include "core/camera_models.h"
#include "core/multi_language.h"

namespace ipcam::ui {
namespace {

constexpr std::string_view kSection = "AdvanceConfigSetting";
constexpr int kSearchRefreshMs = 1000;
constexpr std::uint16_t kDefaultWebPort = 80;
// Long enough for any port a person types, short enough to stay a number.
constexpr int kWebPortDigits = 10;
// The dynamic-DNS service names its hosts under its own domain; the user types the host only.
constexpr const char* kDynamicDnsSuffix = "";

constexpr const char* kMotionJpeg = "M-JPEG";
constexpr const char* kMpeg4 = "MPEG-4";
constexpr const char* kH264 = "H.264";

enum FoundColumn : int { kFoundName = 0, kFoundAddress = 1, kFoundModel = 2 };

// The field labels of the form, in form order.
constexpr std::array<const char*, 7> kFieldKeys = {
    "Static_Name",     "Static_IPAddress", "Static_WebPort",    "Static_Username",
    "Static_Password", "Static_Model",     "Static_VideoFormat"};

std::string text(std::string_view key) {
  return CMultiLanguage::instance().text(kSection, key);
}

QString qs(const std::string& value) {
  return QString::fromStdString(value);
}

// Digits only reach the field; anything that is not a port 1..65535 is the web server's
// standard port.
std::uint16_t webPortOf(const QString& typed) {
  const std::string digits = typed.trimmed().toStdString();
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value < 1 || value > 65535) {
    return kDefaultWebPort;
  }
  return static_cast<std::uint16_t>(value);
}

std::string addressText(const std::array<std::uint8_t, 4>& address) {
  return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
         std::to_string(address[2]) + "." + std::to_string(address[3]);
}

bool sameConnection(const CameraSettings& a, const CameraSettings& b) {
  return a.voskUse == b.voskUse && a.voskHost == b.voskHost && a.ip == b.ip &&
         a.webPort == b.webPort && a.login == b.login && a.password == b.password &&
         a.type == b.type && a.model == b.model && a.isPnV == b.isPnV &&
         a.videoFormat == b.videoFormat;
}

bool sameModel(const CameraSettings& a, const CameraSettings& b) {
  return a.type == b.type && a.model == b.model && a.isPnV == b.isPnV;
}

void copyConnection(const CameraSettings& from, CameraSettings& to) {
  to.voskUse = from.voskUse;
  to.voskHost = from.voskHost;
  to.name = from.name;
  to.ip = from.ip;
  to.webPort = from.webPort;
  to.login = from.login;
  to.password = from.password;
  to.type = from.type;
  to.model = from.model;
  to.isPnV = from.isPnV;
  to.videoFormat = from.videoFormat;
}

}  // namespace

DiscoveryAccess lanDiscovery() {
  return DiscoveryAccess{startCameraSearch, stopCameraSearch, refreshCameraSearch, foundCameras,
                         foundCameraModelName};
}

std::vector<std::string> videoFormatChoices(int type) {
  std::vector<std::string> formats;
  for (const StreamFormat codec : offeredVideoFormats(type)) {
    switch (codec) {
      case StreamFormat::kMotionJpeg:
        formats.emplace_back(kMotionJpeg);
        break;
      case StreamFormat::kMpeg4:
        formats.emplace_back(kMpeg4);
        break;
      case StreamFormat::kH264:
        formats.emplace_back(kH264);
        break;
    }
  }
  return formats;
}

CAdvanceConfigSetting::CAdvanceConfigSetting(DiscoveryAccess discovery, QWidget* parent)
    : CAdvanceConfigCameraPage(parent), discovery_(std::move(discovery)) {
  setObjectName(QStringLiteral("CAdvanceConfigSetting"));
  c_.group = new QGroupBox(this);
  c_.vosk = new QCheckBox(c_.group);
  c_.voskHost = new QLineEdit(c_.group);
  c_.voskSuffix = new QLabel(QString::fromLatin1(kDynamicDnsSuffix), c_.group);
  c_.voskSuffix->setVisible(*kDynamicDnsSuffix != '\0');
  c_.name = new QLineEdit(c_.group);
  c_.ip = new QLineEdit(c_.group);
  c_.webPort = new QLineEdit(c_.group);
  c_.webPort->setMaxLength(kWebPortDigits);
  c_.webPort->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), c_.webPort));
  c_.user = new QLineEdit(c_.group);
  c_.password = new QLineEdit(c_.group);
  c_.password->setEchoMode(QLineEdit::Password);
  c_.model = new QLineEdit(c_.group);
  c_.model->setReadOnly(true);
  c_.model->setFocusPolicy(Qt::NoFocus);
  c_.videoFormat = new QComboBox(c_.group);
  c_.reset = new QPushButton(c_.group);
  c_.reset->setAutoDefault(false);

  auto* form = new QGridLayout(c_.group);
  auto* voskRow = new QHBoxLayout;
  voskRow->addWidget(c_.voskHost, 1);
  voskRow->addWidget(c_.voskSuffix);
  form->addWidget(c_.vosk, 0, 0);
  form->addLayout(voskRow, 0, 1);
  const std::array<QWidget*, 7> fields = {c_.name,     c_.ip,    c_.webPort,    c_.user,
                                          c_.password, c_.model, c_.videoFormat};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    QLabel* label = addLabel(kFieldKeys[i]);
    label->setBuddy(fields[i]);
    form->addWidget(label, static_cast<int>(i) + 1, 0);
    form->addWidget(fields[i], static_cast<int>(i) + 1, 1);
  }
  form->addWidget(c_.reset, static_cast<int>(fields.size()) + 1, 1, Qt::AlignRight);
  form->setColumnStretch(1, 1);

  c_.searchGroup = new QGroupBox(this);
  c_.found = new QTreeWidget(c_.searchGroup);
  c_.found->setObjectName(QStringLiteral("foundCameras"));
  c_.found->setColumnCount(3);
  c_.found->setRootIsDecorated(false);
  c_.found->setItemsExpandable(false);
  c_.found->setUniformRowHeights(true);
  c_.found->setAlternatingRowColors(true);
  c_.found->setSelectionBehavior(QAbstractItemView::SelectRows);
  c_.found->setSelectionMode(QAbstractItemView::SingleSelection);
  c_.found->setColumnWidth(kFoundName, 130);
  c_.found->setColumnWidth(kFoundAddress, 110);
  c_.found->setMinimumWidth(330);
  c_.select = new QPushButton(c_.searchGroup);
  c_.refresh = new QPushButton(c_.searchGroup);
  c_.select->setAutoDefault(false);
  c_.refresh->setAutoDefault(false);
  auto* searchButtons = new QHBoxLayout;
  searchButtons->addStretch();
  searchButtons->addWidget(c_.select);
  searchButtons->addWidget(c_.refresh);
  auto* search = new QVBoxLayout(c_.searchGroup);
  search->addWidget(c_.found);
  search->addLayout(searchButtons);

  auto* page = new QHBoxLayout(this);
  page->addWidget(c_.group, 1);
  page->addWidget(c_.searchGroup, 1);

  // Form first, top to bottom, then the search.
  QWidget::setTabOrder(c_.vosk, c_.voskHost);
  QWidget::setTabOrder(c_.voskHost, c_.name);
  QWidget::setTabOrder(c_.name, c_.ip);
  QWidget::setTabOrder(c_.ip, c_.webPort);
  QWidget::setTabOrder(c_.webPort, c_.user);
  QWidget::setTabOrder(c_.user, c_.password);
  QWidget::setTabOrder(c_.password, c_.videoFormat);
  QWidget::setTabOrder(c_.videoFormat, c_.reset);
  QWidget::setTabOrder(c_.reset, c_.found);
  QWidget::setTabOrder(c_.found, c_.select);
  QWidget::setTabOrder(c_.select, c_.refresh);

  connect(c_.vosk, &QCheckBox::toggled, this, [this] { enable(); });
  connect(c_.reset, &QPushButton::clicked, this, &CAdvanceConfigSetting::resetCamera);
  connect(c_.select, &QPushButton::clicked, this, &CAdvanceConfigSetting::selectFoundCamera);
  connect(c_.refresh, &QPushButton::clicked, this, &CAdvanceConfigSetting::refreshSearch);
  connect(c_.found, &QTreeWidget::itemDoubleClicked, this,
          &CAdvanceConfigSetting::selectFoundCamera);

  {
    std::lock_guard lock(settingsMutex());
    opened_ = editSettings().camera;
  }
  retranslateUi();
  if (discovery_.start) discovery_.start();
  discoveryRunning_ = true;
  searchTimer_ = new QTimer(this);
  searchTimer_->setInterval(kSearchRefreshMs);
  connect(searchTimer_, &QTimer::timeout, this, &CAdvanceConfigSetting::updateFoundCameras);
  searchTimer_->start();
}

CAdvanceConfigSetting::~CAdvanceConfigSetting() {
  stopDiscovery();
}

QLabel* CAdvanceConfigSetting::addLabel(const char* key) {
  auto* label = new QLabel(c_.group);
  label->setProperty("textKey", QString::fromLatin1(key));
  labels_.push_back(label);
  return label;
}

void CAdvanceConfigSetting::retranslateUi() {
  c_.group->setTitle(qs(text("Static_Configuration") + " " + std::to_string(channel_ + 1)));
  c_.vosk->setText(qs(text("Check_VOSK")));
  for (QLabel* label : labels_) {
    label->setText(qs(text(label->property("textKey").toString().toStdString())));
  }
  c_.reset->setText(qs(text("Button_Reset")));
  c_.searchGroup->setTitle(qs(text("Static_Search")));
  c_.found->setHeaderLabels({qs(text("Static_SearchCameraName")), qs(text("Static_SearchCameraIP")),
                             qs(text("Static_SearchCameraModel"))});
  c_.select->setText(qs(text("Button_Select")));
  c_.refresh->setText(qs(text("Button_Refresh")));
}

void CAdvanceConfigSetting::stopDiscovery() {
  if (!discoveryRunning_) return;
  discoveryRunning_ = false;
  if (searchTimer_ != nullptr) searchTimer_->stop();
  if (discovery_.stop) discovery_.stop();
}

void CAdvanceConfigSetting::take() {
  const int format = c_.videoFormat->currentIndex();
  changeEditedCamera(channel_, [&](CameraSettings& camera) {
    camera.voskUse = c_.vosk->isChecked() ? 1 : 0;
    camera.voskHost = c_.voskHost->text().toStdString();
    camera.name = c_.name->text().toStdString();
    camera.ip = c_.ip->text().trimmed().toStdString();
    camera.webPort = webPortOf(c_.webPort->text());
    camera.login = c_.user->text().toStdString();
    camera.password = c_.password->text().toStdString();
    camera.videoFormat = format < 0 ? 0 : format;
  });
}

void CAdvanceConfigSetting::showChannel(int channel) {
  channel_ = channel;
  const CameraSettings camera = editedCamera(channel);
  c_.group->setTitle(qs(text("Static_Configuration") + " " + std::to_string(channel + 1)));
  c_.vosk->setChecked(camera.voskUse == 1);
  c_.voskHost->setText(qs(camera.voskHost));
  c_.name->setText(qs(camera.name));
  c_.ip->setText(qs(camera.ip));
  c_.webPort->setText(QString::number(camera.webPort == 0 ? kDefaultWebPort : camera.webPort));
  c_.user->setText(qs(camera.login));
  c_.password->setText(qs(camera.password));
  c_.model->setText(discovery_.modelName
                        ? qs(discovery_.modelName(camera.type, camera.model, camera.isPnV))
                        : QString());
  fillVideoFormats(camera.type, camera.videoFormat);
}

void CAdvanceConfigSetting::fillVideoFormats(int type, int selected) {
  c_.videoFormat->clear();
  for (const std::string& format : videoFormatChoices(type)) c_.videoFormat->addItem(qs(format));
  c_.videoFormat->setCurrentIndex(selected >= 0 && selected < c_.videoFormat->count() ? selected
                                                                                      : 0);
}

void CAdvanceConfigSetting::enable() {
  const bool vosk = c_.vosk->isChecked();
  c_.voskHost->setEnabled(vosk);
  c_.voskSuffix->setEnabled(vosk);
  c_.ip->setEnabled(!vosk);
  c_.webPort->setEnabled(!vosk);
  c_.found->setEnabled(!vosk);
  c_.select->setEnabled(!vosk);
  c_.refresh->setEnabled(!vosk);
}

void CAdvanceConfigSetting::resetCamera() {
  changeEditedCamera(channel_, [](CameraSettings& camera) { clearCamera(camera); });
  showChannel(channel_);
  enable();
}

void CAdvanceConfigSetting::selectFoundCamera() {
  const QList<QTreeWidgetItem*> selected = c_.found->selectedItems();
  if (selected.isEmpty()) return;
  const int row = c_.found->indexOfTopLevelItem(selected.front());
  if (row < 0 || row >= static_cast<int>(found_.size())) return;
  const DiscoveryEntry& entry = found_[static_cast<std::size_t>(row)];
  const DiscoveredDevice device{entry.name,  entry.address, entry.httpPort,
                                entry.model, entry.vendor,  entry.third};
  changeEditedCamera(channel_,
                     [&](CameraSettings& camera) { fillCameraFromDiscovery(camera, device); });
  showChannel(channel_);
  enable();
}

void CAdvanceConfigSetting::refreshSearch() {
  if (discovery_.refresh) discovery_.refresh();
  updateFoundCameras();
}

void CAdvanceConfigSetting::updateFoundCameras() {
  if (!discovery_.snapshot) return;
  DiscoverySnapshot snapshot = discovery_.snapshot(true);
  const bool rebuild = snapshot.changed ||
                       static_cast<int>(snapshot.entries.size()) != c_.found->topLevelItemCount();
  found_ = std::move(snapshot.entries);
  if (rebuild) {
    // The selection goes with the rows it was on; a restarted search has other rows.
    c_.found->clear();
    for (std::size_t i = 0; i < found_.size(); ++i) c_.found->addTopLevelItem(new QTreeWidgetItem);
  }
  // Answers fill in over time (the detail answer follows the description), so the texts of
  // the rows that stay are brought up to date as well.
  for (std::size_t i = 0; i < found_.size(); ++i) {
    const DiscoveryEntry& entry = found_[i];
    QTreeWidgetItem* item = c_.found->topLevelItem(static_cast<int>(i));
    const std::string model =
        discovery_.modelName ? discovery_.modelName(entry.model, entry.vendor, entry.third) : "";
    item->setText(kFoundName, qs(entry.name));
    item->setText(kFoundAddress, qs(addressText(entry.address)));
    item->setText(kFoundModel, qs(model));
  }
}

bool CAdvanceConfigSetting::apply() {
  take();
  std::lock_guard lock(settingsMutex());
  for (std::size_t channel = 0; channel < kChannelCount; ++channel) {
    CameraSettings& live = liveSettings().camera[channel];
    CameraSettings& edit = editSettings().camera[channel];
    live.needsRestart = 0;
    live.restartPending = 0;
    live.needsStart = 0;
    live.needsStop = 0;
    // The connection worker writes the model it finds into the live settings, also while the
    // sheet is open. Unless the user chose another camera here, that finding stands.
    if (isCameraConfigured(edit) != 0 && sameModel(edit, opened_[channel])) {
      edit.type = live.type;
      edit.model = live.model;
      edit.isPnV = live.isPnV;
    }
    const bool wasConfigured = isCameraConfigured(live) != 0;
    const bool isConfigured = isCameraConfigured(edit) != 0;
    if (wasConfigured && isConfigured && !sameConnection(live, edit)) {
      live.needsRestart = 1;
      live.restartPending = 1;
    } else if (!wasConfigured && isConfigured) {
      live.needsStart = 1;
    } else if (wasConfigured && !isConfigured) {
      live.needsStop = 1;
    }
    if (live.needsStart == 1 || live.needsRestart == 1) {
      if (edit.voskUse == 1) {
        edit.ip.clear();
        edit.webPort = kDefaultWebPort;
        edit.type = 0;
        edit.model = 0;
        edit.isPnV = 0;
      } else {
        edit.voskHost.clear();
      }
    }
    copyConnection(edit, live);
  }
  opened_ = editSettings().camera;
  return true;
}

}  // namespace ipcam::ui
