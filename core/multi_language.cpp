#include "core/multi_language.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <utility>

#include "platform/profile_file.h"
#include "platform/resources.h"

namespace ipcam {
namespace {

constexpr std::array<LanguageTextKey, 28> kLanguageNameKeys = {{
    {"Combo_Language", "Language_English"},    {"Combo_Language", "Language_Russian"},
    {"Combo_Language", "Language_French"},     {"Combo_Language", "Language_Polish"},
    {"Combo_Language", "Language_Hungarian"},  {"Combo_Language", "Language_Lativan"},
    {"Combo_Language", "Language_Nederlands"}, {"Combo_Language", "Language_Italiano"},
    {"Combo_Language", "Language_German"},     {"Combo_Language", "Language_Latvian_2"},
    {"Combo_Language", "Language_Estonian"},   {"Combo_Language", "Language_Czech"},
    {"Combo_Language", "Language_Romanian"},   {"Combo_Language", "Language_Portuguese"},
    {"Combo_Language", "Language_Spanish"},    {"Combo_Language", "Language_Ukrainian"},
    {"Combo_Language", "Language_Tradchin"},   {"Combo_Language", "Language_Simpchin"},
    {"Combo_Language", "Language_Bulgarian"},  {"Combo_Language", "Language_Danish"},
    {"Combo_Language", "Language_Finnish"},    {"Combo_Language", "Language_Norwegian"},
    {"Combo_Language", "Language_Swedish"},    {"Combo_Language", "Language_Lithuanian"},
    {"Combo_Language", "Language_Japanese"},   {"Combo_Language", "Language_Korean"},
    {"Combo_Language", "Language_Turkish"},    {"Combo_Language", "Language_Slovenian"},
}};

// The key names are those of the shipped language files, misspellings included
// ("Staitc_FreeDiskSpace", "Static_InvokeAlerm", ...): translators' files use them as they are.
constexpr LanguageTextKey kInterfaceTextKeys[] = {
    // TarsilDlg
    {"TarsilDlg", "Button_FourDivision"},
    {"TarsilDlg", "Button_SnapShot"},
    {"TarsilDlg", "Button_StartRecord"},
    {"TarsilDlg", "Button_StopRecord"},
    {"TarsilDlg", "Button_OneDivision"},
    {"TarsilDlg", "Button_SixDivision"},
    {"TarsilDlg", "Button_EightDivision"},
    {"TarsilDlg", "Button_NineDivision"},
    {"TarsilDlg", "Button_TenDivision"},
    {"TarsilDlg", "Button_ThirteenDivision"},
    {"TarsilDlg", "Button_SixteenDivision"},
    {"TarsilDlg", "Button_FullScreen"},
    {"TarsilDlg", "Button_Scan"},
    {"TarsilDlg", "Button_Power"},
    {"TarsilDlg", "Button_Minimize"},
    {"TarsilDlg", "Button_Playback"},
    {"TarsilDlg", "Button_Setup"},
    {"TarsilDlg", "Button_ZoomIn"},
    {"TarsilDlg", "Button_ZoomOut"},
    {"TarsilDlg", "Button_PT_LeftUp"},
    {"TarsilDlg", "Button_PT_UP"},
    {"TarsilDlg", "Button_PT_RightUp"},
    {"TarsilDlg", "Button_PT_Left"},
    {"TarsilDlg", "Button_PT_Home"},
    {"TarsilDlg", "Button_PT_Right"},
    {"TarsilDlg", "Button_PT_LeftDown"},
    {"TarsilDlg", "Button_PT_Down"},
    {"TarsilDlg", "Button_PT_RightDown"},
    // ViewerElement
    {"ViewerElement", "Message_Connecting"},
    {"ViewerElement", "Message_Disconnected"},
    {"ViewerElement", "Message_NoSignal"},
    {"ViewerElement", "Message_PasswordError"},
    {"ViewerElement", "Message_ServerBusy"},
    // The time the last picture came, on a tile whose pictures stopped.
    {"ViewerElement", "Message_NoPictureSince"},
    // ViewerElementMenu
    {"ViewerElementMenu", "Menu_Start_Record"},
    {"ViewerElementMenu", "Menu_Stop_Record"},
    {"ViewerElementMenu", "Menu_Connect"},
    {"ViewerElementMenu", "Menu_Disconnect"},
    {"ViewerElementMenu", "Menu_Reset"},
    {"ViewerElementMenu", "Menu_ConfigureCamera"},
    // SetupButtonMenu
    {"SetupButtonMenu", "ContextMenu_ConfigureCameras"},
    {"SetupButtonMenu", "ContextMenu_GeneralOptions"},
    // AdvanceConfig
    {"AdvanceConfig", "Static_Channel"},
    {"AdvanceConfig", "Button_OK"},
    {"AdvanceConfig", "Button_Cancel"},
    {"AdvanceConfig", "PropertyPage_CameraConfig"},
    {"AdvanceConfig", "PropertyPage_Camera"},
    {"AdvanceConfig", "PropertyPage_ScheduleRecording"},
    {"AdvanceConfig", "PropertyPage_Audio"},
    {"AdvanceConfig", "PropertyPage_MotionRecording"},
    {"AdvanceConfig", "PropertyPage_AdvanceConfig"},
    {"AdvanceConfig", "PropertyPage_Setting"},
    {"AdvanceConfig", "PropertyPage_General"},
    {"AdvanceConfig", "PropertyPage_EMailSetting"},
    {"AdvanceConfig", "PropertyPage_Security"},
    {"AdvanceConfig", "PropertyPage_About"},
    // AdvanceConfigSetting
    {"AdvanceConfigSetting", "Check_VOSK"},
    {"AdvanceConfigSetting", "Static_Name"},
    {"AdvanceConfigSetting", "Static_IPAddress"},
    {"AdvanceConfigSetting", "Static_WebPort"},
    {"AdvanceConfigSetting", "Static_Model"},
    {"AdvanceConfigSetting", "Static_Username"},
    {"AdvanceConfigSetting", "Static_Password"},
    {"AdvanceConfigSetting", "Static_VideoFormat"},
    {"AdvanceConfigSetting", "Static_Configuration"},
    {"AdvanceConfigSetting", "Static_Search"},
    {"AdvanceConfigSetting", "Static_SearchCameraName"},
    {"AdvanceConfigSetting", "Static_SearchCameraIP"},
    {"AdvanceConfigSetting", "Static_SearchCameraModel"},
    {"AdvanceConfigSetting", "Button_Reset"},
    {"AdvanceConfigSetting", "Button_Select"},
    {"AdvanceConfigSetting", "Button_Refresh"},
    // AdvanceConfigRecord
    {"AdvanceConfigRecord", "Static_OneTimeSchedule"},
    {"AdvanceConfigRecord", "Button_OneTimeSchedule_New"},
    {"AdvanceConfigRecord", "Button_OneTimeSchedule_Edit"},
    {"AdvanceConfigRecord", "Button_OneTimeSchedule_Delete"},
    {"AdvanceConfigRecord", "Static_WeeklySchedule"},
    {"AdvanceConfigRecord", "Button_WeeklySchedule_New"},
    {"AdvanceConfigRecord", "Button_WeeklySchedule_Edit"},
    {"AdvanceConfigRecord", "Button_WeeklySchedule_Delete"},
    // AdvanceConfigAV
    {"AdvanceConfigAV", "Static_Audio"},
    {"AdvanceConfigAV", "Static_MuteAudio"},
    {"AdvanceConfigAV", "Static_RecordVideoOnly"},
    // AdvanceConfigMR
    {"AdvanceConfigMR", "Static_MotionRecord"},
    {"AdvanceConfigMR", "Static_RecordingTime"},
    {"AdvanceConfigMR", "Static_InvokeAlerm"},
    {"AdvanceConfigMR", "Static_SendMail"},
    {"AdvanceConfigMR", "Static_Enable"},
    {"AdvanceConfigMR", "Static_Disable"},
    {"AdvanceConfigMR", "Static_Seconds"},
    // AdvanceConfigGeneral
    {"AdvanceConfigGeneral", "Static_DirectoryInformation"},
    {"AdvanceConfigGeneral", "Static_GeneralSettings"},
    {"AdvanceConfigGeneral", "Static_RecordDirectory"},
    {"AdvanceConfigGeneral", "Staitc_FreeDiskSpace"},
    {"AdvanceConfigGeneral", "Static_MaxVideoFileSize"},
    {"AdvanceConfigGeneral", "Button_RecordDirectory"},
    {"AdvanceConfigGeneral", "Static_MB"},
    {"AdvanceConfigGeneral", "Static_ScanTime"},
    {"AdvanceConfigGeneral", "Static_Seconds"},
    {"AdvanceConfigGeneral", "Static_CycleRecording"},
    {"AdvanceConfigGeneral", "Option_Enable"},
    {"AdvanceConfigGeneral", "Option_Disable"},
    {"AdvanceConfigGeneral", "Message_NoChangePath"},
    {"AdvanceConfigGeneral", "Message_FreeSpaceMayNotEnough"},
    {"AdvanceConfigGeneral", "Message_DefaultDirError"},
    {"AdvanceConfigGeneral", "Static_Delete_files_recorded_more_than"},
    {"AdvanceConfigGeneral", "Option_AnyTime"},
    {"AdvanceConfigGeneral", "Option_7_days"},
    {"AdvanceConfigGeneral", "Option_2_weeks"},
    {"AdvanceConfigGeneral", "Option_30_days"},
    {"AdvanceConfigGeneral", "Option_90_days"},
    {"AdvanceConfigGeneral", "Option_180_days"},
    {"AdvanceConfigGeneral", "Message_All_the_recording_directories_are_full"},
    {"AdvanceConfigGeneral", "Message_Some_recording_path_in_the_same_partition"},
    {"AdvanceConfigGeneral", "Button_New"},
    {"AdvanceConfigGeneral", "Button_Edit"},
    {"AdvanceConfigGeneral", "Button_Delete"},
    // AdvanceConfigMail
    {"AdvanceConfigMail", "Static_EmailSubject"},
    {"AdvanceConfigMail", "Static_RecipientAddress"},
    {"AdvanceConfigMail", "Static_SenderAddress"},
    {"AdvanceConfigMail", "Static_SMTPServer"},
    {"AdvanceConfigMail", "Static_SMTPPort"},
    {"AdvanceConfigMail", "Static_SMTPAuth"},
    {"AdvanceConfigMail", "Static_SMTPAccount"},
    {"AdvanceConfigMail", "Static_SMTPPassword"},
    {"AdvanceConfigMail", "Static_Enable"},
    {"AdvanceConfigMail", "Static_Disable"},
    {"AdvanceConfigMail", "Button_New"},
    {"AdvanceConfigMail", "Button_Edit"},
    {"AdvanceConfigMail", "Button_Delete"},
    {"AdvanceConfigMail", "Message_MailAddressExisted"},
    {"AdvanceConfigMail", "Message_MailListFull"},
    {"AdvanceConfigMail", "Message_MailAddressError"},
    {"AdvanceConfigMail", "Message_SelectAddressToEdit"},
    {"AdvanceConfigMail", "Message_SelectAddressToRemove"},
    {"AdvanceConfigMail", "Button_SendTestMail"},
    {"AdvanceConfigMail", "Button_TrustCertificate"},
    {"AdvanceConfigMail", "Static_TrustedCertificate"},
    {"AdvanceConfigMail", "Message_TestMailSending"},
    {"AdvanceConfigMail", "Message_TestMailSent"},
    {"AdvanceConfigMail", "Message_TestMailCannotConnect"},
    {"AdvanceConfigMail", "Message_TestMailTimedOut"},
    {"AdvanceConfigMail", "Message_TestMailLoginRefused"},
    {"AdvanceConfigMail", "Message_TestMailRecipientRefused"},
    {"AdvanceConfigMail", "Message_TestMailLineBreak"},
    {"AdvanceConfigMail", "Message_CertificateNotTrusted"},
    {"AdvanceConfigMail", "Message_CertificateChanged"},
    {"AdvanceConfigMail", "Message_TestMailFailed"},
    // AdvanceConfigSecurity
    {"AdvanceConfigSecurity", "Static_Security"},
    {"AdvanceConfigSecurity", "Static_Password"},
    {"AdvanceConfigSecurity", "Static_ConfirmPassword"},
    {"AdvanceConfigSecurity", "Static_Enable"},
    {"AdvanceConfigSecurity", "Static_Disable"},
    {"AdvanceConfigSecurity", "Message_PasswordError"},
    {"AdvanceConfigSecurity", "Message_PasswordTooLong"},
    // AdvanceConfigAbout
    {"AdvanceConfigAbout", "Static_Informatin"},
    {"AdvanceConfigAbout", "Static_Version"},
    // AdvanceConfigRecordOneTime
    {"AdvanceConfigRecordOneTime", "Static_Title"},
    {"AdvanceConfigRecordOneTime", "Staitc_From"},
    {"AdvanceConfigRecordOneTime", "Static_To"},
    {"AdvanceConfigRecordOneTime", "Button_OK"},
    {"AdvanceConfigRecordOneTime", "Button_Cancel"},
    {"AdvanceConfigRecordOneTime", "Message_ToTimeShouldAfterFrom"},
    {"AdvanceConfigRecordOneTime", "Message_ScheduleOverlap"},
    // AdvanceConfigRecordWeekly
    {"AdvanceConfigRecordWeekly", "Static_Title"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Sun"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Mon"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Tue"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Wed"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Thu"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Fri"},
    {"AdvanceConfigRecordWeekly", "CheckBox_Sat"},
    {"AdvanceConfigRecordWeekly", "Static_From"},
    {"AdvanceConfigRecordWeekly", "Static_To"},
    {"AdvanceConfigRecordWeekly", "Button_OK"},
    {"AdvanceConfigRecordWeekly", "Button_Cancel"},
    {"AdvanceConfigRecordWeekly", "Button_AllTimeRecord"},
    {"AdvanceConfigRecordWeekly", "Message_SelectDay"},
    {"AdvanceConfigRecordWeekly", "Message_ScheduleOverlap"},
    // PlaybackDlg
    {"PlaybackDlg", "Static_Title"},
    {"PlaybackDlg", "Static_TimeSearch"},
    {"PlaybackDlg", "Static_MotionSearch"},
    {"PlaybackDlg", "Static_From"},
    {"PlaybackDlg", "Static_To"},
    {"PlaybackDlg", "Static_RecPathNum"},
    {"PlaybackDlg", "Static_Channel"},
    {"PlaybackDlg", "Static_FileName"},
    {"PlaybackDlg", "Button_Search"},
    {"PlaybackDlg", "Button_Play"},
    {"PlaybackDlg", "Button_OK"},
    {"PlaybackDlg", "Message_ToTimeShouldAfterFrom"},
    // MessageBox
    {"MessageBox", "Message_GetVideoPortFail"},
    {"MessageBox", "Message_GetConnctNumbersFail"},
    {"MessageBox", "Message_RecordingSpaceFull"},
    {"MessageBox", "Message_SettingsNotSaved"},
    {"MessageBox", "Message_StopScanBeforeSnapshot"},
    {"MessageBox", "Message_SelectChannelBeforeSnapshot"},
    {"MessageBox", "Message_CantCreateConnectionToIPCam"},
    {"MessageBox", "Message_ReceivingDataTimeout"},
    {"MessageBox", "Message_Username_Password_Wrong"},
    // ErrorMessage
    {"ErrorMessage", "Path_Error"},
    {"ErrorMessage", "Cant_Create_Dir"},
    {"ErrorMessage", "Bmp_Error"},
};
static_assert(std::size(kInterfaceTextKeys) == 203);

constexpr std::string_view kEnglish = "ini\\English.ini";
constexpr std::string_view kBulgarian = "ini\\Bulgarian.ini";
constexpr std::string_view kTradchin = "ini\\Tradchin.ini";
constexpr std::string_view kSimpchin = "ini\\Simpchin.ini";
constexpr std::string_view kCzech = "ini\\Czech.ini";
constexpr std::string_view kDanish = "ini\\Danish.ini";
constexpr std::string_view kGerman = "ini\\German.ini";
constexpr std::string_view kSpanish = "ini\\Spanish.ini";
constexpr std::string_view kFinnish = "ini\\Finnish.ini";
constexpr std::string_view kFrench = "ini\\French.ini";
constexpr std::string_view kHungarian = "ini\\Hungarian.ini";
constexpr std::string_view kItaliano = "ini\\Italiano.ini";
constexpr std::string_view kJapanese = "ini\\Japanese.ini";
constexpr std::string_view kKorean = "ini\\Korean.ini";
constexpr std::string_view kNederlands = "ini\\Nederlands.ini";
constexpr std::string_view kNorwegian = "ini\\Norwegian.ini";
constexpr std::string_view kPolish = "ini\\Polish.ini";
constexpr std::string_view kPortuguese = "ini\\Portuguese.ini";
constexpr std::string_view kRomanian = "ini\\Romanian.ini";
constexpr std::string_view kRussian = "ini\\Russian.ini";
constexpr std::string_view kSwedish = "ini\\Swedish.ini";
constexpr std::string_view kTurkish = "ini\\Turkish.ini";
constexpr std::string_view kUkrainian = "ini\\Ukrainian.ini";
constexpr std::string_view kSlovenian = "ini\\Slovenian.ini";
constexpr std::string_view kEstonian = "ini\\Estonian.ini";
constexpr std::string_view kLativan = "ini\\Lativan.ini";
constexpr std::string_view kLithuanian = "ini\\Lithuanian.ini";

// Every LANGID of the language families Windows knew when the language files were made, in
// the order of their primary language ids. A language without a file of its own reads the
// English texts. The file field of the original table held 64 UTF-16 units.
constexpr LanguageFileRow kLanguageFiles[] = {
    {0, kEnglish},
    {1024, kEnglish},  // neutral
    // Arabic: Saudi Arabia, Iraq, Egypt, Libya, Algeria, Morocco, Tunisia, Oman, Yemen,
    // Syria, Jordan, Lebanon, Kuwait, U.A.E., Bahrain, Qatar
    {1025, kEnglish},
    {2049, kEnglish},
    {3073, kEnglish},
    {4097, kEnglish},
    {5121, kEnglish},
    {6145, kEnglish},
    {7169, kEnglish},
    {8193, kEnglish},
    {9217, kEnglish},
    {10241, kEnglish},
    {11265, kEnglish},
    {12289, kEnglish},
    {13313, kEnglish},
    {14337, kEnglish},
    {15361, kEnglish},
    {16385, kEnglish},
    {1026, kBulgarian},
    {1027, kEnglish},  // Catalan
    // Chinese: Taiwan, PRC, Hong Kong, Singapore
    {1028, kTradchin},
    {2052, kSimpchin},
    {3076, kTradchin},
    {4100, kTradchin},
    {1029, kCzech},
    {1030, kDanish},
    // German: Germany, Switzerland, Austria, Luxembourg, Liechtenstein
    {1031, kGerman},
    {2055, kGerman},
    {3079, kGerman},
    {4103, kGerman},
    {5127, kGerman},
    {1032, kEnglish},  // Greek
    // English: US, UK, Australia, Canada, New Zealand, Ireland, South Africa, Jamaica,
    // Caribbean, Belize, Trinidad
    {1033, kEnglish},
    {2057, kEnglish},
    {3081, kEnglish},
    {4105, kEnglish},
    {5129, kEnglish},
    {6153, kEnglish},
    {7177, kEnglish},
    {8201, kEnglish},
    {9225, kEnglish},
    {10249, kEnglish},
    {11273, kEnglish},
    // Spanish: traditional sort, Mexico, modern sort, Guatemala, Costa Rica, Panama,
    // Dominican Republic, Venezuela, Colombia, Peru, Argentina, Ecuador, Chile, Uruguay,
    // Paraguay, Bolivia, El Salvador, Honduras, Nicaragua, Puerto Rico
    {1034, kSpanish},
    {2058, kSpanish},
    {3082, kSpanish},
    {4106, kSpanish},
    {5130, kSpanish},
    {6154, kSpanish},
    {7178, kSpanish},
    {8202, kSpanish},
    {9226, kSpanish},
    {10250, kSpanish},
    {11274, kSpanish},
    {12298, kSpanish},
    {13322, kSpanish},
    {14346, kSpanish},
    {15370, kSpanish},
    {16394, kSpanish},
    {17418, kSpanish},
    {18442, kSpanish},
    {19466, kSpanish},
    {20490, kSpanish},
    {1035, kFinnish},
    // French: France, Belgium, Canada, Switzerland, Luxembourg
    {1036, kFrench},
    {2060, kFrench},
    {3084, kFrench},
    {4108, kFrench},
    {5132, kFrench},
    {1037, kEnglish},  // Hebrew
    {1038, kHungarian},
    {1039, kEnglish},  // Icelandic
    // Italian: Italy, Switzerland
    {1040, kItaliano},
    {2064, kItaliano},
    {1041, kJapanese},
    // Korean, Korean (Johab)
    {1042, kKorean},
    {2066, kKorean},
    // Dutch: Netherlands, Belgium
    {1043, kNederlands},
    {2067, kNederlands},
    // Norwegian: Bokmal, Nynorsk
    {1044, kNorwegian},
    {2068, kNorwegian},
    {1045, kPolish},
    // Portuguese: Brazil, Portugal
    {1046, kPortuguese},
    {2070, kPortuguese},
    {1048, kRomanian},
    {1049, kRussian},
    // Croatian, Serbian (Latin), Serbian (Cyrillic)
    {1050, kEnglish},
    {2074, kEnglish},
    {3098, kEnglish},
    {1051, kEnglish},  // Slovak
    {1052, kEnglish},  // Albanian
    // Swedish: Sweden, Finland
    {1053, kSwedish},
    {2077, kSwedish},
    {1054, kEnglish},  // Thai
    {1055, kTurkish},
    {1057, kEnglish},  // Indonesian
    {1058, kUkrainian},
    {1059, kEnglish},  // Belarusian
    {1060, kSlovenian},
    {1061, kEstonian},
    {1062, kLativan},
    {1063, kLithuanian},
    {1065, kEnglish},  // Farsi
    {1066, kEnglish},  // Vietnamese
    {1069, kEnglish},  // Basque
    {1078, kEnglish},  // Afrikaans
    {1080, kEnglish},  // Faroese
    {0, ""},
};
static_assert(std::size(kLanguageFiles) == 108);
static_assert(std::ranges::all_of(kLanguageFiles,
                                  [](const LanguageFileRow& row) { return row.file.size() < 64; }));

constexpr std::array<LanguageComboEntry, CMultiLanguage::kComboCount> kCombo = {{
    {"Language_English", 0, ""},       {"Language_Russian", 1049, ""},
    {"Language_French", 1036, ""},     {"Language_Polish", 1045, ""},
    {"Language_Hungarian", 1038, ""},  {"Language_Lativan", 1062, ""},
    {"Language_Nederlands", 1043, ""}, {"Language_Italiano", 1040, ""},
    {"Language_German", 1031, ""},     {"Language_Estonian", 1061, ""},
    {"Language_Czech", 1029, ""},      {"Language_Romanian", 1048, ""},
    {"Language_Portuguese", 2070, ""}, {"Language_Spanish", 1034, ""},
    {"Language_Ukrainian", 1058, ""},  {"Language_Tradchin", 1028, ""},
    {"Language_Simpchin", 2052, ""},   {"Language_Bulgarian", 1026, ""},
    {"Language_Danish", 1030, ""},     {"Language_Finnish", 1035, ""},
    {"Language_Norwegian", 1044, ""},  {"Language_Swedish", 1053, ""},
    {"Language_Lithuanian", 1063, ""}, {"Language_Japanese", 1041, ""},
    {"Language_Turkish", 0, kTurkish}, {"Language_Slovenian", 0, kSlovenian},
}};

struct StartupChoice {
  std::uint16_t langId;
  int comboIndex;
};

// The start-up choice is narrower than the file table on purpose: Korean, for one, starts in
// English although a Korean file exists.
constexpr StartupChoice kStartupChoices[] = {
    {1049, 1},   {1036, 2},   {2060, 2},   {3084, 2},   {4108, 2},   {5132, 2},   {1045, 3},
    {1038, 4},   {1062, 5},   {1043, 6},   {2067, 6},   {1040, 7},   {2064, 7},   {1031, 8},
    {2055, 8},   {3079, 8},   {4103, 8},   {5127, 8},   {1061, 9},   {1029, 10},  {1048, 11},
    {1046, 12},  {2070, 12},  {1034, 13},  {2058, 13},  {3082, 13},  {4106, 13},  {5130, 13},
    {6154, 13},  {7178, 13},  {8202, 13},  {9226, 13},  {10250, 13}, {11274, 13}, {12298, 13},
    {13322, 13}, {14346, 13}, {15370, 13}, {16394, 13}, {17418, 13}, {18442, 13}, {19466, 13},
    {20490, 13}, {1058, 14},  {1028, 15},  {3076, 15},  {4100, 15},  {2052, 16},  {1026, 17},
    {1030, 18},  {1035, 19},  {1044, 20},  {2068, 20},  {1053, 21},  {2077, 21},  {1063, 22},
    {1041, 23},  {1055, 24},  {1060, 25},
};

// Locale -> LANGID. A row without a territory is what the bare language maps to; a territory
// missing here falls back to it, so es_US reads Spanish rather than the English of a LANGID
// that no language file knows.
struct LocaleRow {
  std::string_view language;
  std::string_view territory;
  std::string_view modifier;
  std::uint16_t langId;
};

constexpr LocaleRow kLocales[] = {
    // Languages with a file of their own.
    {"en", "", "", 1033},
    {"en", "US", "", 1033},
    {"en", "GB", "", 2057},
    {"en", "AU", "", 3081},
    {"en", "CA", "", 4105},
    {"en", "NZ", "", 5129},
    {"en", "IE", "", 6153},
    {"en", "ZA", "", 7177},
    {"en", "JM", "", 8201},
    {"en", "BZ", "", 10249},
    {"en", "TT", "", 11273},
    {"en", "ZW", "", 12297},
    {"en", "PH", "", 13321},
    {"en", "HK", "", 15369},
    {"en", "IN", "", 16393},
    {"en", "MY", "", 17417},
    {"en", "SG", "", 18441},
    {"ru", "", "", 1049},
    {"ru", "RU", "", 1049},
    {"fr", "", "", 1036},
    {"fr", "FR", "", 1036},
    {"fr", "BE", "", 2060},
    {"fr", "CA", "", 3084},
    {"fr", "CH", "", 4108},
    {"fr", "LU", "", 5132},
    {"pl", "", "", 1045},
    {"pl", "PL", "", 1045},
    {"hu", "", "", 1038},
    {"hu", "HU", "", 1038},
    {"lv", "", "", 1062},
    {"lv", "LV", "", 1062},
    {"nl", "", "", 1043},
    {"nl", "NL", "", 1043},
    {"nl", "BE", "", 2067},
    {"it", "", "", 1040},
    {"it", "IT", "", 1040},
    {"it", "CH", "", 2064},
    {"de", "", "", 1031},
    {"de", "DE", "", 1031},
    {"de", "CH", "", 2055},
    {"de", "AT", "", 3079},
    {"de", "LU", "", 4103},
    {"de", "LI", "", 5127},
    {"et", "", "", 1061},
    {"et", "EE", "", 1061},
    {"cs", "", "", 1029},
    {"cs", "CZ", "", 1029},
    {"ro", "", "", 1048},
    {"ro", "RO", "", 1048},
    {"pt", "", "", 1046},
    {"pt", "BR", "", 1046},
    {"pt", "PT", "", 2070},
    {"es", "", "", 1034},
    {"es", "ES", "", 3082},
    {"es", "MX", "", 2058},
    {"es", "GT", "", 4106},
    {"es", "CR", "", 5130},
    {"es", "PA", "", 6154},
    {"es", "DO", "", 7178},
    {"es", "VE", "", 8202},
    {"es", "CO", "", 9226},
    {"es", "PE", "", 10250},
    {"es", "AR", "", 11274},
    {"es", "EC", "", 12298},
    {"es", "CL", "", 13322},
    {"es", "UY", "", 14346},
    {"es", "PY", "", 15370},
    {"es", "BO", "", 16394},
    {"es", "SV", "", 17418},
    {"es", "HN", "", 18442},
    {"es", "NI", "", 19466},
    {"es", "PR", "", 20490},
    {"uk", "", "", 1058},
    {"uk", "UA", "", 1058},
    {"zh", "", "", 1028},
    {"zh", "TW", "", 1028},
    {"zh", "CN", "", 2052},
    {"zh", "HK", "", 3076},
    {"zh", "SG", "", 4100},
    {"bg", "", "", 1026},
    {"bg", "BG", "", 1026},
    {"da", "", "", 1030},
    {"da", "DK", "", 1030},
    {"fi", "", "", 1035},
    {"fi", "FI", "", 1035},
    {"nb", "", "", 1044},
    {"nb", "NO", "", 1044},
    {"no", "", "", 1044},
    {"no", "NO", "", 1044},
    {"nn", "", "", 2068},
    {"nn", "NO", "", 2068},
    {"sv", "", "", 1053},
    {"sv", "SE", "", 1053},
    {"sv", "FI", "", 2077},
    {"lt", "", "", 1063},
    {"lt", "LT", "", 1063},
    {"ja", "", "", 1041},
    {"ja", "JP", "", 1041},
    {"ko", "", "", 1042},
    {"ko", "KR", "", 1042},
    {"tr", "", "", 1055},
    {"tr", "TR", "", 1055},
    {"sl", "", "", 1060},
    {"sl", "SI", "", 1060},
    // Languages that read the English texts.
    {"ar", "", "", 1025},
    {"ar", "SA", "", 1025},
    {"ar", "IQ", "", 2049},
    {"ar", "EG", "", 3073},
    {"ar", "LY", "", 4097},
    {"ar", "DZ", "", 5121},
    {"ar", "MA", "", 6145},
    {"ar", "TN", "", 7169},
    {"ar", "OM", "", 8193},
    {"ar", "YE", "", 9217},
    {"ar", "SY", "", 10241},
    {"ar", "JO", "", 11265},
    {"ar", "LB", "", 12289},
    {"ar", "KW", "", 13313},
    {"ar", "AE", "", 14337},
    {"ar", "BH", "", 15361},
    {"ar", "QA", "", 16385},
    {"ca", "", "", 1027},
    {"ca", "ES", "", 1027},
    {"el", "", "", 1032},
    {"el", "GR", "", 1032},
    {"he", "", "", 1037},
    {"he", "IL", "", 1037},
    {"iw", "", "", 1037},
    {"iw", "IL", "", 1037},
    {"is", "", "", 1039},
    {"is", "IS", "", 1039},
    {"hr", "", "", 1050},
    {"hr", "HR", "", 1050},
    // Serbian shares its primary id with Croatian, so the bare language cannot take the
    // default sublanguage (that would be Croatian); it takes the generic Cyrillic and Latin ids.
    {"sr", "", "", 3098},
    {"sr", "", "latin", 2074},
    {"sr", "RS", "", 10266},
    {"sr", "RS", "latin", 9242},
    {"sk", "", "", 1051},
    {"sk", "SK", "", 1051},
    {"sq", "", "", 1052},
    {"sq", "AL", "", 1052},
    {"th", "", "", 1054},
    {"th", "TH", "", 1054},
    {"id", "", "", 1057},
    {"id", "ID", "", 1057},
    {"in", "", "", 1057},
    {"be", "", "", 1059},
    {"be", "BY", "", 1059},
    {"fa", "", "", 1065},
    {"fa", "IR", "", 1065},
    {"vi", "", "", 1066},
    {"vi", "VN", "", 1066},
    {"eu", "", "", 1069},
    {"eu", "ES", "", 1069},
    {"af", "", "", 1078},
    {"af", "ZA", "", 1078},
    {"fo", "", "", 1080},
    {"fo", "FO", "", 1080},
};

constexpr std::uint16_t kEnglishUs = 1033;

struct LocaleParts {
  std::string language;
  std::string territory;
  std::string modifier;
};

std::string asciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

std::string asciiUpper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

bool isAsciiAlpha(std::string_view text) {
  return std::ranges::all_of(
      text, [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

// "ll_CC.codeset@modifier"; BCP 47 style "ll-CC" is taken too, since some desktops set it.
std::optional<LocaleParts> splitLocale(std::string_view locale) {
  std::string_view modifier;
  if (const auto at = locale.find('@'); at != std::string_view::npos) {
    modifier = locale.substr(at + 1);
    locale = locale.substr(0, at);
  }
  if (const auto dot = locale.find('.'); dot != std::string_view::npos) {
    locale = locale.substr(0, dot);
  }
  std::string_view territory;
  if (const auto sep = locale.find_first_of("_-"); sep != std::string_view::npos) {
    territory = locale.substr(sep + 1);
    locale = locale.substr(0, sep);
  }
  if (locale.size() < 2 || locale.size() > 3 || !isAsciiAlpha(locale)) return std::nullopt;
  return LocaleParts{asciiLower(locale), asciiUpper(territory), asciiLower(modifier)};
}

std::optional<std::uint16_t> findLocale(const LocaleParts& parts, std::string_view territory,
                                        std::string_view modifier) {
  for (const LocaleRow& row : kLocales) {
    if (row.language == parts.language && row.territory == territory && row.modifier == modifier) {
      return row.langId;
    }
  }
  return std::nullopt;
}

std::string_view firstNonEmptyEnv(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

CMultiLanguage::CMultiLanguage(std::filesystem::path resourceFolder)
    : resourceFolder_(std::move(resourceFolder)),
      languageNames_(std::make_shared<const Table>()),
      texts_(std::make_shared<const Table>()) {}

CMultiLanguage::CMultiLanguage()
    : languageNames_(std::make_shared<const Table>()), texts_(std::make_shared<const Table>()) {}

CMultiLanguage& CMultiLanguage::instance() {
  // Deliberately never destroyed: threads abandoned at shutdown may still look texts up.
  static CMultiLanguage& shared = *std::make_unique<CMultiLanguage>().release();
  return shared;
}

std::span<const LanguageTextKey> CMultiLanguage::languageNameKeys() {
  return kLanguageNameKeys;
}
std::span<const LanguageTextKey> CMultiLanguage::interfaceTextKeys() {
  return kInterfaceTextKeys;
}
std::span<const LanguageFileRow> CMultiLanguage::languageFileTable() {
  return kLanguageFiles;
}
std::span<const LanguageComboEntry> CMultiLanguage::comboTable() {
  return kCombo;
}

std::filesystem::path CMultiLanguage::resourceFolder() const {
  return resourceFolder_ ? *resourceFolder_ : platform::resourceFolder();
}

std::filesystem::path CMultiLanguage::resolve(std::string_view relative) const {
  std::string portable(relative);
  std::ranges::replace(portable, '\\', '/');
  const std::filesystem::path path(portable);
  return path.is_absolute() ? path : resourceFolder() / path;
}

void CMultiLanguage::loadLanguageNames() {
  const auto profile = platform::ProfileFile::load(resolve(kLanguageNamesFile));
  auto table = std::make_shared<Table>();
  table->reserve(kLanguageNameKeys.size());
  for (const LanguageTextKey& name : kLanguageNameKeys) {
    table->push_back({std::string(name.section), std::string(name.key),
                      profile.getString(name.section, name.key, "", kBufferUnits)});
  }
  const std::lock_guard lock(mutex_);
  languageNames_ = std::move(table);
}

std::string CMultiLanguage::find(const std::shared_ptr<const Table>& table,
                                 std::string_view section, std::string_view key,
                                 std::string_view missing) {
  for (const LanguageTextEntry& entry : *table) {
    if (entry.key == key && entry.section == section) return entry.value;
  }
  return std::string(missing);
}

std::string CMultiLanguage::languageName(std::string_view section, std::string_view key) const {
  std::shared_ptr<const Table> table;
  {
    const std::lock_guard lock(mutex_);
    table = languageNames_;
  }
  return find(table, section, key, kNoLanguageValueFound);
}

std::vector<std::string> CMultiLanguage::comboDisplayNames() const {
  std::vector<std::string> names;
  names.reserve(kCombo.size());
  for (const LanguageComboEntry& entry : kCombo) {
    names.push_back(languageName(kLanguageNamesSection, entry.displayNameKey));
  }
  return names;
}

int CMultiLanguage::comboIndexForLangId(std::uint16_t langId) {
  for (const StartupChoice& choice : kStartupChoices) {
    if (choice.langId == langId) return choice.comboIndex;
  }
  return 0;
}

std::string CMultiLanguage::fileForComboIndex(int index) {
  const std::string_view firstRow = kLanguageFiles[0].file;
  if (index < 0 || index >= kComboCount) return std::string(firstRow);
  const LanguageComboEntry& entry = kCombo[static_cast<std::size_t>(index)];
  if (!entry.file.empty()) return std::string(entry.file);
  if (index == 0) return std::string(kEnglish);
  for (const LanguageFileRow& row : kLanguageFiles) {
    if (row.langId == entry.langId) return std::string(row.file);
  }
  return std::string(firstRow);
}

void CMultiLanguage::applyComboIndex(int index) {
  reloadFrom(resolve(fileForComboIndex(index)));
}

int CMultiLanguage::selectBySystemLangId(std::uint16_t langId) {
  const int index = comboIndexForLangId(langId);
  applyComboIndex(index);
  return index;
}

std::filesystem::path CMultiLanguage::currentFile() const {
  const std::lock_guard lock(mutex_);
  return currentFile_;
}

void CMultiLanguage::reload() {
  reloadFrom(currentFile());
}

void CMultiLanguage::reloadFrom(std::filesystem::path file) {
  // Read once and look every key up in memory; a missing file or key leaves the value empty
  // but still adds the entry, so a listed pair never reads as "No Value Found".
  const auto profile = platform::ProfileFile::load(file);
  auto table = std::make_shared<Table>();
  table->reserve(std::size(kInterfaceTextKeys));
  for (const LanguageTextKey& text : kInterfaceTextKeys) {
    table->push_back({std::string(text.section), std::string(text.key),
                      profile.getString(text.section, text.key, "", kBufferUnits)});
  }
  const std::lock_guard lock(mutex_);
  currentFile_ = std::move(file);
  texts_ = std::move(table);
}

std::string CMultiLanguage::text(std::string_view section, std::string_view key) const {
  std::shared_ptr<const Table> table;
  {
    const std::lock_guard lock(mutex_);
    table = texts_;
  }
  return find(table, section, key, kNoValueFound);
}

std::string CMultiLanguage::readValue(std::string_view section, std::string_view key) const {
  return platform::profileGetString(currentFile(), section, key, "", kBufferUnits);
}

std::optional<std::string> CMultiLanguage::tileTextKeyForStatus(int status) {
  switch (status) {
    case 5:
      return "Message_NoSignal";
    case 10:
      return "Message_Connecting";
    case 20:
      return "Message_Disconnected";
    default:
      return std::nullopt;
  }
}

std::uint16_t CMultiLanguage::langIdForLocale(std::string_view locale) {
  const auto parts = splitLocale(locale);
  if (!parts) return kEnglishUs;
  if (auto id = findLocale(*parts, parts->territory, parts->modifier)) return *id;
  if (auto id = findLocale(*parts, parts->territory, "")) return *id;
  if (auto id = findLocale(*parts, "", parts->modifier)) return *id;
  if (auto id = findLocale(*parts, "", "")) return *id;
  return kEnglishUs;
}

std::uint16_t CMultiLanguage::systemLangId() {
  return langIdForLocale(firstNonEmptyEnv({"LC_ALL", "LC_MESSAGES", "LANG"}));
}

}  // namespace ipcam
