#pragma once

#include <array>
#include <string>
#include <string_view>

#include "core/viewer_settings.h"

namespace ipcam {

// The rules of the recording-directory list on the general settings page. The page shows the
// controls and the folder browser; these say what each button may do and what it changes.
// Refusals are message keys of section "AdvanceConfigGeneral".

using RecordDirs = std::array<std::string, kRecPathCount>;

inline constexpr std::string_view kGeneralSection = "AdvanceConfigGeneral";
inline constexpr std::string_view kNoChangePath = "Message_NoChangePath";
inline constexpr std::string_view kAllRecordDirsUsed =
    "Message_All_the_recording_directories_are_full";
inline constexpr std::string_view kSameFileSystem =
    "Message_Some_recording_path_in_the_same_partition";

// A refusal, or the slot a button works on (-1: nothing to do, as for Edit without a line).
struct RecordDirAnswer {
  std::string_view message;  // empty when allowed
  int slot = -1;
  bool accepted() const { return message.empty(); }
};

// True while any recorder of any channel has a file open: the list is then locked.
bool anyRecorderRecording();

// The slot behind a line of the list, which shows the non-empty slots in order; -1 for none.
int recordDirSlotOfLine(const RecordDirs& dirs, int line);
// The free space the list shows: MB of the directory's file system, 0 when it cannot be asked.
unsigned long long recordDirFreeMegabytes(const std::string& dir);

// "New": the first empty slot. "Edit": the slot of the selected line (-1 without one).
RecordDirAnswer newRecordDir(const RecordDirs& dirs, bool recording);
RecordDirAnswer editRecordDir(const RecordDirs& dirs, int line, bool recording);
// The folder browser's choice for `slot`: refused when the folder lies on the file system of
// another slot's directory (for a directory not made yet: where it would be made).
RecordDirAnswer setRecordDir(RecordDirs& dirs, int slot, const std::string& folder);
// "Delete": the selected line's slot goes and the later slots move up.
RecordDirAnswer deleteRecordDir(RecordDirs& dirs, int line, bool recording);

// Confirming the page: the live settings take the directories, their folders are made, and a
// recorder may say "Message_RecordingSpaceFull" again.
void confirmRecordDirs(const RecordDirs& dirs, ViewerUi* ui);

}  // namespace ipcam
