#include "app/language.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <span>

#include "app/ini_file.h"

namespace torvane::app {
namespace {

struct BuiltIn {
  std::string_view section, key, text;
};

// The English texts. Messages of the engine and the explorer are in EXT_STRINGS (the command
// line uses them where it says the same), the command line's own in CLI, the texts of a
// window in its WINDOW_ section.
constexpr std::array kEnglish = {
    BuiltIn{"GENERAL", "LANGCODE", "en"},
    BuiltIn{"EXT_STRINGS", "szPleaseEnterSearchData", "Please enter search data!"},
    BuiltIn{"EXT_STRINGS", "szHexValuesParity", "Hex values must consists of two digits - length is parity!"},
    BuiltIn{"EXT_STRINGS", "szResultsTruncated", "Results truncated to 200 000 files... Change your search criteria!"},
    BuiltIn{"EXT_STRINGS", "szMemoryLow", "MEMORY LOW..."}, BuiltIn{"EXT_STRINGS", "szNothingFound", "Nothing found"},
    BuiltIn{"EXT_STRINGS", "szSearchResultsOf", "Search results of:"},
    BuiltIn{"EXT_STRINGS", "szAdvancedSearchResults", "Advanced search results"},
    BuiltIn{"EXT_STRINGS", "szSearchStopped", "The search was stopped; the matches found so far are shown."},
    BuiltIn{"EXT_STRINGS", "szMatchesFound", "%s matches"},
    BuiltIn{"EXT_STRINGS", "szBadHexCharacter", "Hex values may only hold the digits 0-9 and A-F."},
    BuiltIn{"EXT_STRINGS", "szTextAndHex", "Search for text or for hex bytes, not both."},
    BuiltIn{"EXT_STRINGS", "szBadDate", "A date is written YYYY-MM-DD: %s"},
    BuiltIn{"EXT_STRINGS", "szBadNumber", "Not a number of bytes: %s"},
    BuiltIn{"EXT_STRINGS", "szNoSuchFile", "There is no file %s on volume %s"},
    BuiltIn{"EXT_STRINGS", "szIsAFolder", "%s is a folder; the hex view shows files"},
    BuiltIn{"EXT_STRINGS", "szSettingsFolderOnDrive",
            "Settings folder path is on selected drive - blocking access to folder!"},
    BuiltIn{"EXT_STRINGS", "szTempFolderOnDrive",
            "Temporary folder path is on selected drive - blocking access to folder!"},
    // ---- The explorer's results list, properties and size editor ----
    BuiltIn{"EXT_STRINGS", "szVirtualFolderLostFiles", "Virtual folder of file system entries"},
    BuiltIn{"EXT_STRINGS", "szVirtualFolderRebuild", "Virtual folder of lost parent folders"},
    BuiltIn{"EXT_STRINGS", "szVirtualFolderRAW", "Virtual folder of revovered files via header detect"},
    BuiltIn{"EXT_STRINGS", "szFileFolder", "File folder"},
    BuiltIn{"EXT_STRINGS", "szPathRecentlyAdded", "This path is recently added!"},
    BuiltIn{"EXT_STRINGS", "szFavoritesFull", "Favorites list is full!"},
    BuiltIn{"EXT_STRINGS", "szNoFavorites", "Currently there is no favorites"},
    BuiltIn{"EXT_STRINGS", "szFavoritesEmpty", "Currently list is empty"},
    BuiltIn{"EXT_STRINGS", "szClearList", "&Clear List"}, BuiltIn{"EXT_STRINGS", "szFavoriteItem", "&%i  %s"},
    BuiltIn{"EXT_STRINGS", "szLsBadState", "Unknown state in --state: %s (known: %s)"},
    BuiltIn{"EXT_STRINGS", "szLsBadType",
            "Unknown type in --type: %s (known: any, graphic, audio, video, office, system)"},
    BuiltIn{"EXT_STRINGS", "szLsBadSort", "Unknown --sort: %s (name, size, type or date, with :desc for descending)"},
    BuiltIn{"EXT_STRINGS", "szLsNoFolder", "there is no folder %s on volume %s"},
    BuiltIn{"EXT_STRINGS", "szLsSummary", "%s entries (%s found %s, %s deleted)"},
    BuiltIn{"EXT_STRINGS", "szLsStopped", ", stopped"},
    BuiltIn{"EXT_STRINGS", "szLsNameAndType", "--name and --type both give the names to show; use one"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnFileName", "File name"}, BuiltIn{"WINDOW_EXPLORER", "szColumnSize", "Size"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnType", "Type"}, BuiltIn{"WINDOW_EXPLORER", "szColumnDate", "Date"},
    BuiltIn{"WINDOW_EXPLORER", "szColumnRating", "Rating (integrity)"}, BuiltIn{"WINDOW_EXPLORER", "szBack", "Back"},
    BuiltIn{"WINDOW_EXPLORER", "szNext", "Next"}, BuiltIn{"WINDOW_EXPLORER", "szUp", "Up"},
    BuiltIn{"WINDOW_EXPLORER", "szRefresh", "Refresh\tF5"},
    BuiltIn{"WINDOW_EXPLORER", "szSelectAll", "Select &all\tCtrl+A"},
    BuiltIn{"WINDOW_EXPLORER", "szUnselectAll", "&Unselect all\tCtrl+Z"},
    BuiltIn{"WINDOW_EXPLORER", "szInvertSelection", "&Invert selection\tCtrl+I"},
    BuiltIn{"WINDOW_EXPLORER", "szSelect", "&Select\tSpace"},
    BuiltIn{"WINDOW_EXPLORER", "szAddToFavorites", "Add to favorites\tCtrl+D"},
    BuiltIn{"WINDOW_EXPLORER", "szAddCurrentPathToFavorites", "&Add current path to favorites\tCtrl+D"},
    BuiltIn{"WINDOW_EXPLORER", "szProperties", "Properties\tAlt+Enter"},
    BuiltIn{"WINDOW_EXPLORER", "szEditFileSize", "Edit file size\tAlt+S"},
    BuiltIn{"WINDOW_EXPLORER", "szDisplayFiles", "Display files (filtering)"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterNotDetected", "Overwritten, undetected"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterOverwritten", "Probably overwritten"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterEncrypted", "NTFS encrypted (EFS)"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterCompressed", "NTFS compressed"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterDeleted", "Recoverable (deleted)"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterExisting", "Existing"}, BuiltIn{"WINDOW_EXPLORER", "szFilterFiles", "Files"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterFolders", "Folders"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterMetafiles", "NTFS metafiles - $"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterAny", "Any file"}, BuiltIn{"WINDOW_EXPLORER", "szFilterGraphic", "Graphic"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterAudio", "Audio"}, BuiltIn{"WINDOW_EXPLORER", "szFilterVideo", "Video"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterOffice", "Office"}, BuiltIn{"WINDOW_EXPLORER", "szFilterSystem", "System"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterGraphicTip",
            "bmp, jpg/jpeg, jp2, j2k, gif, png, pcx, tga, ico, cur, emf, wmf, tif/tiff."},
    BuiltIn{"WINDOW_EXPLORER", "szFilterAudioTip", "wav, mp3, wma, ogg, mid."},
    BuiltIn{"WINDOW_EXPLORER", "szFilterVideoTip", "avi, mpg, mpeg, mp4, dat, wmv, asf, swf."},
    BuiltIn{"WINDOW_EXPLORER", "szFilterOfficeTip", "doc, docx, xls, xlsx, ppt, pptx, mdb, pdf."},
    BuiltIn{"WINDOW_EXPLORER", "szFilterSystemTip", "exe, dll, sys, ocx."},
    BuiltIn{"WINDOW_EXPLORER", "szFilterRefreshTip", "Refresh files."},
    BuiltIn{"WINDOW_EXPLORER", "szFilterRefresh", "&Refresh"},
    BuiltIn{"WINDOW_EXPLORER", "szFilterAutoRefresh", "Auto refresh"},
    BuiltIn{"WINDOW_EXPLORER", "szChangeColor", "Change this color"},
    BuiltIn{"WINDOW_EXPLORER", "szRestoreDefaultColor", "Restore default color"},
    BuiltIn{"WINDOW_EXPLORER", "szRestoreAllDefaultColors", "Restore all default colors"},
    BuiltIn{"WINDOW_EXPLORER", "szSetAllColorsAsDefault", "Set &all colors as default"},
    BuiltIn{"WINDOW_PROPERTIES", "szProperties", "Properties"}, BuiltIn{"WINDOW_PROPERTIES", "szTitle", "%s %s"},
    BuiltIn{"WINDOW_PROPERTIES", "szTypeWithExtension", "%s (%s)"}, BuiltIn{"WINDOW_PROPERTIES", "szFile", "File"},
    BuiltIn{"WINDOW_PROPERTIES", "szUndefinedApplication", "Undefined application"},
    BuiltIn{"WINDOW_PROPERTIES", "szDescription", "Description:"}, BuiltIn{"WINDOW_PROPERTIES", "szNA", "N/A"},
    BuiltIn{"WINDOW_PROPERTIES", "szNANtfs", "N/A (NTFS)"}, BuiltIn{"WINDOW_PROPERTIES", "szNAFat", "N/A (FAT)"},
    BuiltIn{"WINDOW_PROPERTIES", "szNA1", "N/A (1)"}, BuiltIn{"WINDOW_PROPERTIES", "szUnknownValue", "???"},
    BuiltIn{"WINDOW_PROPERTIES", "szSizeBytes", "%s %s (bytes: %s)"},
    BuiltIn{"WINDOW_PROPERTIES", "szDateTime", "%i %s %i, %0.2i:%0.2i:%0.2i"},
    BuiltIn{"WINDOW_PROPERTIES", "szMonth1", "January"}, BuiltIn{"WINDOW_PROPERTIES", "szMonth2", "February"},
    BuiltIn{"WINDOW_PROPERTIES", "szMonth3", "March"}, BuiltIn{"WINDOW_PROPERTIES", "szMonth4", "April"},
    BuiltIn{"WINDOW_PROPERTIES", "szMonth5", "May"}, BuiltIn{"WINDOW_PROPERTIES", "szMonth6", "June"},
    BuiltIn{"WINDOW_PROPERTIES", "szMonth7", "July"}, BuiltIn{"WINDOW_PROPERTIES", "szMonth8", "August"},
    BuiltIn{"WINDOW_PROPERTIES", "szMonth9", "September"}, BuiltIn{"WINDOW_PROPERTIES", "szMonth10", "October"},
    BuiltIn{"WINDOW_PROPERTIES", "szMonth11", "November"}, BuiltIn{"WINDOW_PROPERTIES", "szMonth12", "December"},
    BuiltIn{"WINDOW_FILE_SIZE", "szUnitB", "B"}, BuiltIn{"WINDOW_FILE_SIZE", "szUnitKB", "kB"},
    BuiltIn{"WINDOW_FILE_SIZE", "szUnitMB", "MB"}, BuiltIn{"WINDOW_FILE_SIZE", "szUnitGB", "GB"},
    BuiltIn{"WINDOW_FILE_SIZE", "szExfatNotice", "!"},
    BuiltIn{"WINDOW_FILE_SIZE", "szSizeNotANumber", "Please enter a number."},
    BuiltIn{"WINDOW_FILE_SIZE", "szSizeNegative", "The size cannot be negative."},
    BuiltIn{"WINDOW_FILE_SIZE", "szSizeTooLarge", "The size cannot be larger than the volume."},
    // ---- end of the explorer's texts ----
    BuiltIn{"WINDOW_HEX_VIEW", "#C", "Torvane [HEX VIEW]"}, BuiltIn{"WINDOW_HEX_VIEW", "szOffset", "Offset"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "#C", "Advanced search"}, BuiltIn{"WINDOW_LANG", "#C", "Language"},

    // The explorer window, its dialogs and the hex view (desktop application).
    BuiltIn{"WINDOW_EXPLORER", "M#1", "&File"}, BuiltIn{"WINDOW_EXPLORER", "M#1#1", "&Recover...\t Alt+R"},
    BuiltIn{"WINDOW_EXPLORER", "M#1#2", "&Save scan session\tCtrl+S"},
    BuiltIn{"WINDOW_EXPLORER", "M#1#3", "Load scan session\tCtrl+L"}, BuiltIn{"WINDOW_EXPLORER", "M#1#4", "&Close"},
    BuiltIn{"WINDOW_EXPLORER", "M#2", "&Edit"}, BuiltIn{"WINDOW_EXPLORER", "M#2#1", "&Select all\tCtrl+A"},
    BuiltIn{"WINDOW_EXPLORER", "M#2#2", "&Unselect all\tCtrl+Z"},
    BuiltIn{"WINDOW_EXPLORER", "M#2#3", "&Invert selection\tCtrl+I"}, BuiltIn{"WINDOW_EXPLORER", "M#3", "&View"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#1", "&Explorer view\tF12"}, BuiltIn{"WINDOW_EXPLORER", "M#3#1#1", "&Details"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#1#2", "&Miniatures"}, BuiltIn{"WINDOW_EXPLORER", "M#3#2", "&Folders tree\tF11"},
    BuiltIn{"WINDOW_EXPLORER", "M#3#3", "&Display files (filtering)"}, BuiltIn{"WINDOW_EXPLORER", "M#4", "&Command"},
    BuiltIn{"WINDOW_EXPLORER", "M#4#1", "&Find\tCtrl+F"}, BuiltIn{"WINDOW_EXPLORER", "M#4#2", "&Pause scan\tF10"},
    BuiltIn{"WINDOW_EXPLORER", "M#4#3", "&Break search"}, BuiltIn{"WINDOW_EXPLORER", "M#5", "&Favorites"},
    BuiltIn{"WINDOW_EXPLORER", "M#5#1", "&Add current path to favorites\tCtrl+D"},
    BuiltIn{"WINDOW_EXPLORER", "M#5#2", "Currently there is no favorites"},
    BuiltIn{"WINDOW_EXPLORER", "szToggleView", "Switch view\tF12"},
    BuiltIn{"WINDOW_EXPLORER", "szAdvancedSearch", "&AdvancedSearch"},
    BuiltIn{"WINDOW_EXPLORER", "szClearFavourites", "&Clear list"},
    BuiltIn{"WINDOW_EXPLORER", "szRecoverJoin", "&Recover (JOIN)\tCtrl+Alt+J"},
    BuiltIn{"WINDOW_EXPLORER", "szHexView", "HEX view\tCtrl+H"},

    BuiltIn{"WINDOW_EXPLORER", "szViewMenu", "View"}, BuiltIn{"WINDOW_EXPLORER", "##11", "Back"},
    BuiltIn{"WINDOW_EXPLORER", "##12", "Next"}, BuiltIn{"WINDOW_EXPLORER", "##13", "Up"},
    BuiltIn{"WINDOW_EXPLORER", "##23", "Search"}, BuiltIn{"WINDOW_EXPLORER", "szSearchPrompt", "  Search..."},
    BuiltIn{"WINDOW_EXPLORER", "szStatusRows", "%s items"},

    BuiltIn{"WINDOW_EXPLORER", "szScanNotCompleted",
            "Scan is not completed, it's recommended to finish scan.\r\nWould you like to continue?"},
    BuiltIn{"WINDOW_EXPLORER", "szNothingToRecover", "Sorry, there is nothing to recovery!"},
    BuiltIn{"WINDOW_EXPLORER", "szSelectFilesToRecover", "Please select the files to recovery (check them on list)."},
    BuiltIn{"WINDOW_EXPLORER", "szSelectOutputPath", "Select output path"},
    BuiltIn{"WINDOW_EXPLORER", "szRecovered", "Recovered: %s, failed or skipped: %s"},
    BuiltIn{"WINDOW_EXPLORER", "szSavingInProgress", "Please wait, another saving is in progress."},
    BuiltIn{"WINDOW_EXPLORER", "szSaveScanSession", "Save scan session"},
    BuiltIn{"WINDOW_EXPLORER", "szSessionFilter", "Torvane scan sessions (*.tqs)"},
    BuiltIn{"WINDOW_EXPLORER", "szSessionSaved", "The scan session was saved."},
    BuiltIn{"WINDOW_EXPLORER", "szWriteOnOpenedDisk", "You're  trying to write file on opened disk - action halted!"},
    BuiltIn{"WINDOW_EXPLORER", "szLoadSessionFile", "Load session file"},
    BuiltIn{"WINDOW_EXPLORER", "szSessionLoadFilter", "Torvane scan sessions (*.tqs *.tqsp)"},
    BuiltIn{"WINDOW_EXPLORER", "szCloseWindow",
            "The scan is still running. Close the explorer and lose what it has not found yet?"},
    BuiltIn{"WINDOW_EXPLORER", "szPathRecentlyAdded", "This path is recently added!"},
    BuiltIn{"WINDOW_EXPLORER", "szFavoritesFull", "Favorites list is full!"},
    // The explorer's miniature, defragmentation, activity-file and language commands.
    BuiltIn{"WINDOW_EXPLORER", "szRecoverDefrag", "&Recover (DEFRAGMENTATION)\tCtrl+Alt+R"},
    BuiltIn{"WINDOW_EXPLORER", "szRecoverMiniature", "&Recover Miniature\tCtrl+Alt+M"},
    BuiltIn{"WINDOW_EXPLORER", "szNoMiniature", "There is no JPG Miniature to extract from this file!"},
    BuiltIn{"WINDOW_EXPLORER", "szMiniatureSaved", "Miniature saved: %s"},
    BuiltIn{"WINDOW_EXPLORER", "szActivityFile", "Write activity file\tCtrl+Shift+F12"},
    BuiltIn{"WINDOW_EXPLORER", "szActivityWritten", "Activity file written: %s"},
    BuiltIn{"WINDOW_EXPLORER", "szPreferences", "&Preferences"}, BuiltIn{"WINDOW_EXPLORER", "szLanguage", "Language"},
    BuiltIn{"WINDOW_FILTER", "#C", "Display files (filtering)"}, BuiltIn{"WINDOW_FILTER", "szStates", "Show"},
    BuiltIn{"WINDOW_FILTER", "szExisting", "Existing"}, BuiltIn{"WINDOW_FILTER", "szDeleted", "Recoverable (deleted)"},
    BuiltIn{"WINDOW_FILTER", "szOverwritten", "Probably overwritten"},
    BuiltIn{"WINDOW_FILTER", "szNotDetected", "Overwritten, undetected"},
    BuiltIn{"WINDOW_FILTER", "szEncrypted", "NTFS encrypted (EFS)"},
    BuiltIn{"WINDOW_FILTER", "szCompressed", "NTFS compressed"},
    BuiltIn{"WINDOW_FILTER", "szMetafiles", "NTFS metafiles - $"}, BuiltIn{"WINDOW_FILTER", "szFiles", "Files"},
    BuiltIn{"WINDOW_FILTER", "szFolders", "Folders"}, BuiltIn{"WINDOW_FILTER", "szAny", "Any file"},
    BuiltIn{"WINDOW_FILTER", "szGraphic", "Graphic files"}, BuiltIn{"WINDOW_FILTER", "szAudio", "Audio files"},
    BuiltIn{"WINDOW_FILTER", "szVideo", "Video files"}, BuiltIn{"WINDOW_FILTER", "szOffice", "Office documents"},
    BuiltIn{"WINDOW_FILTER", "szSystem", "System files"}, BuiltIn{"WINDOW_FILTER", "szPreset", "Kind"},
    BuiltIn{"WINDOW_FILTER", "szPattern", "Names"}, BuiltIn{"WINDOW_PROPERTIES", "#C", "Properties"},
    BuiltIn{"WINDOW_PROPERTIES", "szName", "Name:"}, BuiltIn{"WINDOW_PROPERTIES", "szItems", "Items:"},
    BuiltIn{"WINDOW_PROPERTIES", "szType", "Type:"}, BuiltIn{"WINDOW_PROPERTIES", "szSize", "Size:"},
    BuiltIn{"WINDOW_PROPERTIES", "szState", "State:"}, BuiltIn{"WINDOW_PROPERTIES", "szDate", "Date:"},
    BuiltIn{"WINDOW_PROPERTIES", "szLocation", "Location:"}, BuiltIn{"WINDOW_FILE_SIZE", "#C", "Edit file size"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szNames", "File names:"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szContent", "Containing:"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szContentKind", "As:"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szCaseSensitive", "Case sensitive"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szWholeWords", "Whole words only"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szMinSize", "Size at least (bytes):"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szMaxSize", "Size at most (bytes):"},
    BuiltIn{"WINDOW_ADVANCED_SEARCH", "szDeletedOnly", "Deleted entries only"},
    BuiltIn{"WINDOW_HEX_VIEW", "M#1", "&File"}, BuiltIn{"WINDOW_HEX_VIEW", "M#1#1", "&Close"},
    BuiltIn{"WINDOW_HEX_VIEW", "szSizeBytes", "%s bytes"},
    // End of the explorer window's texts.

    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#C", "Configuration folders"},
    // The command line's own texts: errors, labels, headings, progress and summaries.
    BuiltIn{"CLI", "szCommandInfo", "describe a virtual disk: format, capacity, extents, parents"},
    BuiltIn{"CLI", "szCommandVolumes", "list the volumes of a disk, lost ones included"},
    BuiltIn{"CLI", "szCommandLs", "list the files of a volume, deleted ones included"},
    BuiltIn{"CLI", "szCommandScan", "search a volume's free space for lost files"},
    BuiltIn{"CLI", "szCommandSession", "describe a scan session saved by 'scan --save'"},
    BuiltIn{"CLI", "szCommandRecover", "copy files of a volume, deleted ones included, to a folder"},
    BuiltIn{"CLI", "szCommandSearch", "find files of a volume by name, content, size or date"},
    BuiltIn{"CLI", "szCommandHexdump", "show the bytes of a file of a volume in hexadecimal"},
    BuiltIn{"CLI", "szCommandCarve", "find files by their content and write them to a folder"},
    BuiltIn{"CLI", "szCommandImage", "copy a whole virtual disk, or one of its volumes, into a raw image file"},
    BuiltIn{"CLI", "szCommandPartsearch", "search the whole disk for lost and overwritten partitions"},
    BuiltIn{"CLI", "szCommandBackup", "save the partition-table sectors a repair would write"},
    BuiltIn{"CLI", "szCommandRepair", "write lost partitions back into the partition table"},
    BuiltIn{"CLI", "szCommandRestore", "write a partition-table backup back to its disk"},
    BuiltIn{"CLI", "szCommandIdentify", "name the file type and measure the size of files, as carving would"},
    BuiltIn{"CLI", "szUsageLine", "usage: torvane COMMAND [options]"},
    BuiltIn{"CLI", "szUsageAbout", "Torvane recovers files from VMware virtual disks (.vmdk)."},
    BuiltIn{"CLI", "szUsageCommands", "commands:"},
    BuiltIn{"CLI", "szUsageCommandHelp", "'torvane COMMAND --help' describes a command."},
    BuiltIn{"CLI", "szNotACommand", "'%s' is not a command; see 'torvane --help'"},
    BuiltIn{"CLI", "szNeedsValue", "%s needs a value"}, BuiltIn{"CLI", "szUnknownOption", "unknown option %s"},
    BuiltIn{"CLI", "szInfoDisk", "Disk:"}, BuiltIn{"CLI", "szInfoFormat", "Format:"},
    BuiltIn{"CLI", "szInfoCapacity", "Capacity:"}, BuiltIn{"CLI", "szInfoCapacityValue", "%s (%s sectors)"},
    BuiltIn{"CLI", "szInfoCid", "CID:"}, BuiltIn{"CLI", "szInfoExtents", "Extents:"},
    BuiltIn{"CLI", "szInfoParent", "Parent:"}, BuiltIn{"CLI", "szInfoNoParent", "none"},
    BuiltIn{"CLI", "szInfoParentMatches", "%s (parent CID %s: matches)"},
    BuiltIn{"CLI", "szInfoParentMismatch", "%s (parent CID %s: MISMATCH)"}, BuiltIn{"CLI", "szInfoWarning", "Warning:"},
    BuiltIn{"CLI", "szTakesOneDisk", "%s takes one disk"}, BuiltIn{"CLI", "szFlagBootRebuilt", "boot sector rebuilt"},
    BuiltIn{"CLI", "szFlagBackupBoot", "backup boot sector used"}, BuiltIn{"CLI", "szFlagDamaged", "damaged"},
    BuiltIn{"CLI", "szColumnName", "Name"}, BuiltIn{"CLI", "szColumnFileSystem", "File system"},
    BuiltIn{"CLI", "szColumnLabel", "Label"}, BuiltIn{"CLI", "szColumnStart", "Start"},
    BuiltIn{"CLI", "szColumnSize", "Size"}, BuiltIn{"CLI", "szColumnFree", "Free"},
    BuiltIn{"CLI", "szColumnStatus", "Status"}, BuiltIn{"CLI", "szPhysicalDrives", "Physical drives"},
    BuiltIn{"CLI", "szUnlistedVolumes", "Volumes no partition table lists:"},
    BuiltIn{"CLI", "szDamagedExtendedBlocks", "Damaged extended partition blocks: %s"},
    BuiltIn{"CLI", "szResumeTakesNoDisk", "scan --resume takes no disk (give it with --disk)"},
    BuiltIn{"CLI", "szNeedsVolume", "%s needs a volume (-v N)"},
    BuiltIn{"CLI", "szSaveEveryNeedsSave", "--save-every needs --save FILE"},
    BuiltIn{"CLI", "szSaveEveryMinutes", "--save-every takes a number of minutes"},
    BuiltIn{"CLI", "szInTheSession", "in the session"},
    BuiltIn{"CLI", "szSessionScanFinished", "The session's scan had finished; %s entries."},
    BuiltIn{"CLI", "szSessionNotSaved", "the session was not saved: %s"},
    BuiltIn{"CLI", "szScanSummary", "%s entries %s; the %s found %s more and %s RAW files."},
    BuiltIn{"CLI", "szScanSummaryStopped",
            "%s entries %s; the %s found %s more and %s RAW files before it was stopped."},
    BuiltIn{"CLI", "szScanSummaryInterrupted",
            "%s entries %s; the %s found %s more and %s RAW files before the disk could not be read any more."},
    BuiltIn{"CLI", "szSearchOfWholeVolume", "search of the whole volume"},
    BuiltIn{"CLI", "szSearchOfFreeSpace", "search of the free space"},
    BuiltIn{"CLI", "szBadVolumeRow", "-v takes a row number from 'torvane volumes'"},
    BuiltIn{"CLI", "szNoSuchVolume", "there is no volume %s on %s (see 'torvane volumes')"},
    BuiltIn{"CLI", "szProgressReadingFileSystem", "Reading the file system"},
    BuiltIn{"CLI", "szVolumeIs", "volume %s is %s"}, BuiltIn{"CLI", "szProgressScanningVolume", "Scanning volume"},
    BuiltIn{"CLI", "szProgressScanningFreeSpace", "Scanning free space"},
    BuiltIn{"CLI", "szScanStopped", "the scan was stopped before it finished; what it found until then is kept"},
    BuiltIn{"CLI", "szScanInterrupted",
            "the scan was interrupted: the disk could not be read any more; what it found until then is kept"},
    BuiltIn{"CLI", "szBadEscape", "the path %s has a \\ that starts no escape (write \\\\ for a backslash)"},
    BuiltIn{"CLI", "szSessionNamesNoDisk", "the session names no disk; give it with --disk DISK"},
    BuiltIn{"CLI", "szSessionVolumeMissing",
            "the disk %s has no volume at sector %s, where the session's volume started; is it the disk the session "
            "was saved from?"},
    BuiltIn{"CLI", "szProgressLoadingSession", "Loading the session"},
    BuiltIn{"CLI", "szSessionSaved", "Saved the session to %s."},
    BuiltIn{"CLI", "szSessionSavedUnfinished", "Saved the session to %s; 'torvane scan --resume' continues the scan."},
    BuiltIn{"CLI", "szNeedsDisk", "%s needs a disk"},
    BuiltIn{"CLI", "szNeedsOutputFolder", "%s needs an output folder (-o DIR)"},
    BuiltIn{"CLI", "szNameFilesOrAll", "name the files or folders to recover, or give --all"},
    BuiltIn{"CLI", "szExcludeEachOther", "%s and %s exclude each other"},
    BuiltIn{"CLI", "szNoSuchItem", "there is no file or folder %s on volume %s"},
    BuiltIn{"CLI", "szReportIsDiskFile", "the report %s is a file of the disk being read; choose another place"},
    BuiltIn{"CLI", "szReportExists", "the report %s already exists; Torvane does not replace it"},
    BuiltIn{"CLI", "szCannotWriteReport", "cannot write the report %s: %s"},
    BuiltIn{"CLI", "szProgressRecovering", "Recovering"}, BuiltIn{"CLI", "szItemIncomplete", "%s: incomplete: %s"},
    BuiltIn{"CLI", "szItemFailed", "%s: %s"}, BuiltIn{"CLI", "szJoinNotFinished", "cannot finish the joined file: %s"},
    BuiltIn{"CLI", "szReportAppeared", "%s appeared during the run; the report was not written"},
    BuiltIn{"CLI", "szRecoverSummary", "Recovered %s items (%s) into %s; %s incomplete, %s skipped, %s failed."},
    BuiltIn{"CLI", "szRecoverStatistics",
            "Folders total %s, deleted %s, detected %s, overwritten %s; files total %s, deleted %s, detected %s, "
            "overwritten %s."},
    BuiltIn{"CLI", "szEncryptedWritten", "%s encrypted files were written as .efs export streams."},
    BuiltIn{"CLI", "szIncompleteFiles", "%s files are incomplete: parts that could not be read hold zeros."},
    BuiltIn{"CLI", "szRunStopped", "The run was stopped; the file being written was removed."},
    BuiltIn{"CLI", "szUnansweredQuestion",
            "the run stopped at a question that needs an answer (give --yes or --no): %s"},
    BuiltIn{"CLI", "szPhaseFreeSpace", "free space"}, BuiltIn{"CLI", "szPhaseWholeVolume", "whole volume (reverse)"},
    BuiltIn{"CLI", "szPhaseNotStarted", "not started"}, BuiltIn{"CLI", "szTakesOneFile", "%s takes one file"},
    BuiltIn{"CLI", "szSessionVolume", "Volume:"},
    BuiltIn{"CLI", "szSessionVolumeValue", "%s sectors from sector %s, serial %s"},
    BuiltIn{"CLI", "szSessionScan", "Scan:"},
    BuiltIn{"CLI", "szSessionScanDone", "%s, finished; at %s%% (%s clusters searched)"},
    BuiltIn{"CLI", "szSessionScanNotDone", "%s, not finished; stopped at %s%% (%s clusters searched)"},
    BuiltIn{"CLI", "szSessionEntries", "Entries:"},
    BuiltIn{"CLI", "szSessionEntriesValue", "%s (lost files %s, RAW files %s)"},
    BuiltIn{"CLI", "szListHeader", "Del State           Size  Time (UTC)            Path"},
    BuiltIn{"CLI", "szTakesDiskAndPath", "%s takes a disk and a path"},
    BuiltIn{"CLI", "szUnreadableBytes", "%s bytes could not be read; they are shown as ??"},
    BuiltIn{"CLI", "szNoWholeDiskRow", "the disk has no whole-disk row"},
    BuiltIn{"CLI", "szUnknownType", "--types: %s is not a file type Torvane finds by content"},
    BuiltIn{"CLI", "szCarveProgress", "Carving %s%% %s MB, %s files"},
    BuiltIn{"CLI", "szCannotCreateReport", "cannot create the report %s (it must not exist yet)"},
    BuiltIn{"CLI", "szColumnType", "Type"}, BuiltIn{"CLI", "szColumnFiles", "Files"},
    BuiltIn{"CLI", "szColumnBytes", "Bytes"},
    BuiltIn{"CLI", "szCarveSummary", "Carved %s files (%s) into %s; %s incomplete, %s skipped, %s failed."},
    BuiltIn{"CLI", "szNotFileOrDevice", "%s: not a regular file or block device"},
    BuiltIn{"CLI", "szFileEmpty", "%s: the file is empty"},
    BuiltIn{"CLI", "szIdentifyNeedsFile", "identify needs at least one FILE"},
    BuiltIn{"CLI", "szFileUnreadable", "%s: the file could not be read"},
    BuiltIn{"CLI", "szNotRecognised", "%s: not recognised"}, BuiltIn{"CLI", "szBytes", "%s bytes"},
    BuiltIn{"CLI", "szUnknownSize", "unknown"}, BuiltIn{"CLI", "szEstimated", "%s (estimated)"},
    BuiltIn{"CLI", "szIdentified", "%s: entry %s %s (%s), size %s"}, BuiltIn{"CLI", "szNameSuffix", ", name suffix %s"},
    BuiltIn{"CLI", "szStateDiskSize", "%s belongs to a disk of %s sectors; %s has %s"},
    BuiltIn{"CLI", "szStateDiskName", "%s belongs to a disk named %s, not %s"},
    BuiltIn{"CLI", "szStateSavedFor", "note: %s was saved for %s"},
    BuiltIn{"CLI", "szBadFoundRow", "-v FILE.tqsp:N takes the number of a found volume"},
    BuiltIn{"CLI", "szNoSuchFoundVolume", "there is no found volume %s in %s (see 'torvane volumes DISK --found %s')"},
    BuiltIn{"CLI", "szFoundVolumeUnopened", "found volume %s cannot be opened"},
    BuiltIn{"CLI", "szStateDiskSizeNot", "%s belongs to a disk of %s sectors, not %s"},
    BuiltIn{"CLI", "szFoundVolumesHeading", "Volumes found by the partition search (-v %s:N):"},
    BuiltIn{"CLI", "szSearchStaysDeep", "note: the saved search was a DEEP search and goes on as one"},
    BuiltIn{"CLI", "szIsDiskFile", "%s is one of the disk's own files"},
    BuiltIn{"CLI", "szProgressPartitionSearch", "Searching for partitions"},
    BuiltIn{"CLI", "szPartitionSearchStopped", "the search was stopped at sector %s"},
    BuiltIn{"CLI", "szSearchStateSaved", "Saved the search state to %s"},
    BuiltIn{"CLI", "szSearchStateNotSaved", "the search state was not saved: %s"}, BuiltIn{"CLI", "szStatusOk", "ok"},
    BuiltIn{"CLI", "szStatusLost", "lost"}, BuiltIn{"CLI", "szStatusOverwritten", "overwritten"},
    BuiltIn{"CLI", "szStateDiskSizeOnly", "%s belongs to a disk of %s sectors"},
    BuiltIn{"CLI", "szNothingToRestore", "There is nothing to restore."},
    BuiltIn{"CLI", "szNotRestored", "not restored: %s"},
    BuiltIn{"CLI", "szPlanWrites", "Writes %s blocks (%s sectors)."},
    BuiltIn{"CLI", "szBackupNeedsOutput", "backup needs an output file (-o FILE.tqb)"},
    BuiltIn{"CLI", "szBackupCreated", "Backup created successfully! %s blocks in %s"},
    BuiltIn{"CLI", "szRepairNeedsBackup",
            "repair writes to the disk only after a backup: give --backup FILE.tqb (or --plan to see the plan)"},
    BuiltIn{"CLI", "szRepairNeedsYes", "repair would write to %s; add --yes to confirm"},
    BuiltIn{"CLI", "szNothingWritten", "nothing was written: %s"},
    BuiltIn{"CLI", "szRepairWriteFailed", "%s (%s of %s blocks written; 'torvane restore %s %s --yes' puts them back)"},
    BuiltIn{"CLI", "szRepairDone", "Operation done, auto-backup created in file: %s"},
    BuiltIn{"CLI", "szRestoreArguments", "restore takes a disk and a backup file"},
    BuiltIn{"CLI", "szBackupMadeOf", "note: the backup was made of %s"},
    BuiltIn{"CLI", "szBlocksDiffer", "%s: %s of %s blocks differ from the backup."},
    BuiltIn{"CLI", "szBlocksDifferMbr", "%s: %s of %s blocks differ from the backup, the MBR among them."},
    BuiltIn{"CLI", "szRestoreNeedsYes", "restore would write %s blocks to %s; add --yes to confirm"},
    BuiltIn{"CLI", "szRestoreWriteFailed", "%s (%s of %s blocks written)"},
    BuiltIn{"CLI", "szRestored", "Restored %s blocks to %s."},
    BuiltIn{"CLI", "szNoFoundVolumeFor", "there is no found volume %s for %s"},
    BuiltIn{"CLI", "szImageNeedsOutput", "image needs an output file (-o OUT)"},
    BuiltIn{"CLI", "szBackupBootUsed", "The primary boot sector is damaged; the backup at sector %s is used"},
    BuiltIn{"CLI", "szProgressImaging", "Imaging"},
    BuiltIn{"CLI", "szImageAborted", "the image was aborted after %s sectors; --continue goes on"},
    BuiltIn{"CLI", "szImageFailed", "the image failed: %s"},
    BuiltIn{"CLI", "szImageUnreadable",
            "%s sectors could not be read and hold zeros in the image (last: sectors %s-%s: %s)"},
    BuiltIn{"CLI", "szImageWritten", "Wrote %s (%s sectors) to %s"},
    // The drive selection window and its dialogs (desktop application).
    BuiltIn{"EXT_STRINGS", "szErrorAccessingVm",
            "Error accessing Virtual Machine. This file may be damaged or this not Virtual Machine."},
    BuiltIn{"EXT_STRINGS", "szReplaceFile", "%s already exists. Do you want to replace it?"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#C", "Torvane %s"}, BuiltIn{"WINDOW_SELECT_DRIVE", "#1", "&Next"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##1", "Continue."}, BuiltIn{"WINDOW_SELECT_DRIVE", "#2", "&Exit"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##2", "Close Torvane."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##3", "Refresh list of drives."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#4", "Drive settings..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##4", "Advanced settings of drive"}, BuiltIn{"WINDOW_SELECT_DRIVE", "#5", "&Open"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##5", "Open image file, session or Torvane backup."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#6", "&Tools"}, BuiltIn{"WINDOW_SELECT_DRIVE", "##6", "Tools and settings."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#22", "Configuration &folders..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#201", "&Image..."}, BuiltIn{"WINDOW_SELECT_DRIVE", "#202", "&Session..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#203", "Open"}, BuiltIn{"WINDOW_SELECT_DRIVE", "#204", "Create image..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#212", "&Backup..."}, BuiltIn{"WINDOW_SELECT_DRIVE", "#213", "Partition search..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#214", "Quick partition restore..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##40040", "Language"}, BuiltIn{"WINDOW_SELECT_DRIVE", "##40041", "Help (F1)"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "##40042", "About Torvane"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#1001",
            "Please do not create and modify files on drive, where files are to be recovered, data may be "
            "overwritten and file entries (names, allocation info) may be lost. If You lost data on current system "
            "drive please shutdown the active system and launch another."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#1002", "Available drives"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "#1003", "Name;File system and label;Size;Free space"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szPhysicalDrives", "Physical drives"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szVirtualDisks", "Virtual disks"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szNoFreeSpace", "-"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szRowStart", "Start sector: %s"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szRowSize", "Size: %s (%s sectors)"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szRowDamaged", "The volume is damaged."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szSearching", "Searching..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szVolumesFound", "Volumes found: %s"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szOpeningVolume", "Opening %s..."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szLoadImageFile", "Load image file"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szImageFilter", "Virtual disks (*.vmdk);;All files (*)"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szHelpTitle", "Torvane help"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szHelpText",
            "Load a VMware virtual disk (Open, Image, or drop the .vmdk file on the window), pick a volume and "
            "press Next. The disk is only read, never written. Tools holds the partition search, the quick "
            "partition restore, image creation and the configuration folders."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szAboutTitle", "About Torvane"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szAboutText",
            "Torvane %s\n\nRecovers files from VMware virtual disks without ever writing to them."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szPlaceholderExplorer",
            "Volume %s (%s) of %s is open.\nThe explorer window is not part of this build."},
    BuiltIn{"EXT_STRINGS", "szSessionFileErr", "The session file cannot be read."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szLoadSessionFile", "Load session file"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szSessionFilter", "Sessions (*.tqs *.tqsp);;All files (*)"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szLoadDiskFirst", "Load the virtual disk first (Open, Image)."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szSessionNoVolume",
            "The disk has no volume at sector %s, where the session's volume started."},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szLoadBackup", "Load backup"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szBackupFilter", "Torvane backups (*.tqb);;All files (*)"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szSaveImageFile", "Save image file"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szImageOutFilter", "Image files (*.img);;All files (*)"},
    BuiltIn{"WINDOW_SELECT_DRIVE", "szContinueImage",
            "%s already exists. Continue the unfinished image in it? (No: replace it)"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#C", "Advanced drive settings"}, BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1", "OK"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#2", "Cancel"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1001", "Previously was another system:"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1002", "File system:"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1003", "Cluster size (bytes):"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1004", "FAT copy:"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1005", "Damaged file system (do not read FAT or MFT)"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1006", "Reverse scan (from the end of the volume)"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "#1007", "RAW mode (search files by their content only)"},
    BuiltIn{"WINDOW_DRIVE_SETTINGS", "szAuto", "AUTO"}, BuiltIn{"WINDOW_HDD_SCAN_MODE", "#C", "Physical drive scan"},
    BuiltIn{"WINDOW_HDD_SCAN_MODE", "#1", "OK"}, BuiltIn{"WINDOW_HDD_SCAN_MODE", "#2", "Cancel"},
    BuiltIn{"WINDOW_HDD_SCAN_MODE", "#1001", "Physical drive scan:"},
    BuiltIn{"WINDOW_HDD_SCAN_MODE", "#1002", "Search for lost partitions (DEEP: every sector)"},
    BuiltIn{"WINDOW_HDD_SCAN_MODE", "#1003", "Search for lost partitions (FAST: skips sound volumes)"},
    BuiltIn{"WINDOW_HDD_SCAN_MODE", "#1004", "Scan the whole disk for files (RAW)"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#C", "Partition search"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#2", "Close"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#1001", "Start sector;Size;File system;Label;Status"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#1002", "Pause"}, BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#1003", "Stop"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#1004", "Save..."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#1005", "Load..."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "#1006", "Open volume"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szResume", "Resume"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szSearching", "Searching %s for partitions..."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szPaused", "Paused."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szFinished", "The search is finished: %s volumes found."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szStopped",
            "The search was stopped at sector %s; save it to continue later."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szSaveState", "Save partition search"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szLoadState", "Load partition search"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szStateFilter", "Partition searches (*.tqsp);;All files (*)"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szSaved", "Saved to %s"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "szOtherDisk", "%s belongs to a disk of %s sectors, not to this one."},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "ok", "in the table"}, BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "lost", "lost"},
    BuiltIn{"WINDOW_HDD_SCAN_PARTITIONS", "overwritten", "overwritten"},
    BuiltIn{"WINDOW_PARTITIONFIX", "#C", "Quick partition restore"}, BuiltIn{"WINDOW_PARTITIONFIX", "#2", "Close"},
    BuiltIn{"WINDOW_PARTITIONFIX", "#1001",
            "Volumes that no partition table lists. A backup of every sector the restore writes is saved first; the "
            "restore then gives these volumes their table entries back."},
    BuiltIn{"WINDOW_PARTITIONFIX", "#1002", "Start sector;Size;File system;Label;Status"},
    BuiltIn{"WINDOW_PARTITIONFIX", "#1003", "Backup..."}, BuiltIn{"WINDOW_PARTITIONFIX", "#1004", "Details"},
    BuiltIn{"WINDOW_PARTITIONFIX", "#1005", "Restore"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szPreparing", "Reading the partition tables..."},
    BuiltIn{"WINDOW_PARTITIONFIX", "szLost", "lost"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szNothingToRestore", "There is nothing to restore."},
    BuiltIn{"WINDOW_PARTITIONFIX", "szPlanReady", "The restore writes %s blocks. Save a backup first."},
    BuiltIn{"WINDOW_PARTITIONFIX", "szSaveBackup", "Save backup"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szBackupFilter", "Torvane backups (*.tqb);;All files (*)"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szIsSourceFile", "%s is one of the disk's own files."},
    BuiltIn{"WINDOW_PARTITIONFIX", "szBackupFailed", "The backup was not created: %s"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szBackupDone",
            "Backup created successfully in %s. Restore may now write the disk."},
    BuiltIn{"WINDOW_PARTITIONFIX", "szDetails", "Details"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szNotRestored", "Not restored: %s"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szConfirmRestore",
            "Are You sure You want to write the restored partition table on disk %s?"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szRestoreFailed",
            "The restore failed: %s (%s of %s blocks written). The backup %s puts them back (Open, Backup)."},
    BuiltIn{"WINDOW_PARTITIONFIX", "szRestoreDone", "Operation done, auto-backup created in file: %s"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szBackupDamaged", "This file is damaged or not compatible!"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szConfirmBackupRestore",
            "Are You sure You want to write backup data on disk: %s %s (%s)?"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szBackupRestoreFailed", "Backup restoration failed!"},
    BuiltIn{"WINDOW_PARTITIONFIX", "szBackupRestoreDone", "Restoration of backup processed successfully!"},
    BuiltIn{"WINDOW_SAVING_IMAGE", "#C", "Saving image"}, BuiltIn{"WINDOW_SAVING_IMAGE", "#2", "Close"},
    BuiltIn{"WINDOW_SAVING_IMAGE", "#1001", "Pause"}, BuiltIn{"WINDOW_SAVING_IMAGE", "#1002", "Abort"},
    BuiltIn{"WINDOW_SAVING_IMAGE", "szResume", "Resume"}, BuiltIn{"WINDOW_SAVING_IMAGE", "szWriting", "Writing %s..."},
    BuiltIn{"WINDOW_SAVING_IMAGE", "szDone", "Done: %s sectors written."},
    BuiltIn{"WINDOW_SAVING_IMAGE", "szDoneWithErrors",
            "Done: %s sectors written; %s sectors could not be read and hold zeros."},
    BuiltIn{"WINDOW_SAVING_IMAGE", "szAborted", "Aborted after %s sectors; choose the same file again to continue."},
    BuiltIn{"WINDOW_SAVING_IMAGE", "szFailed", "The image failed: %s"},
    BuiltIn{"WINDOW_SAVING_IMAGE", "szOutputIsSource",
            "Please select another drive (output path). This is the drive with data to recovery!"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#1", "OK"}, BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#2", "Cancel"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#1001", "Settings folder:"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#1002", "Temporary folder:"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#1003", "Browse..."},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "#1004", "Browse..."},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szSettingsNotFull", "Please enter full path of folder with settings file"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szTempNotFull", "Please enter full path of temporary file folder"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szFolderAccessProblem", "Folder access problem"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szPermissionsProblem", "Permissions problem"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szSettingsCannotCreate",
            "Can't create or access selected settings folder, choose another!"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szTempCannotCreate",
            "Can't create or access selected temporary folder, choose another!"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szSettingsDenied",
            "Access denied! Need write permission to selected settings folder, choose another folder!"},
    BuiltIn{"WINDOW_CONFIGURATION_FOLDERS", "szTempDenied",
            "Access denied! Need write permission to selected temporary folder, choose another folder!"},
    BuiltIn{"WINDOW_LANG", "#1", "OK"}, BuiltIn{"WINDOW_LANG", "#2", "Cancel"},
    // End of the drive selection window's texts.
};

}  // namespace

bool IsValidLanguageName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.') return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || u < 0x20 || u == 0x7F;
  });
}

std::vector<fs::path> LanguageFolders(const fs::path& settingsFolder, const fs::path& programFolder) {
  std::vector<fs::path> folders;
  if (!settingsFolder.empty()) folders.push_back(settingsFolder / "language");
  if (!programFolder.empty()) {
    folders.push_back(programFolder / "language");
    folders.push_back(programFolder.parent_path() / "share" / "torvane" / "language");
  }
  return folders;
}

fs::path ProgramFolder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe.parent_path();
}

std::optional<std::string_view> EnglishText(std::string_view section, std::string_view key) {
  for (const auto& b : kEnglish)
    if (b.section == section && b.key == key) return b.text;
  return std::nullopt;
}

LanguageTable::LanguageTable() = default;

void LanguageTable::Apply(std::string_view fileBytes) {
  ini_ = IniFile::Parse(std::as_bytes(std::span(fileBytes.data(), fileBytes.size())));
}

bool LanguageTable::Load(std::string_view name, const std::vector<fs::path>& folders, std::string& note) {
  if (!IsValidLanguageName(name)) {
    note = "the language name \"" + std::string(name) + "\" is not a plain file name; it is refused";
    return false;
  }
  auto find = [&](std::string_view n) -> fs::path {
    for (const auto& folder : folders) {
      std::error_code ec;
      const fs::path file = folder / (std::string(n) + ".lng");
      if (fs::is_regular_file(file, ec)) return file;
    }
    return {};
  };
  fs::path file = find(name);
  std::string used(name);
  if (file.empty()) {
    note = "no language file for " + std::string(name) + "; the texts stay in English";
    used = kDefaultLanguage;
    file = find(kDefaultLanguage);
  }
  ini_ = IniFile();
  name_ = used;
  if (file.empty()) return true;
  std::string error;
  if (!IniFile::Load(file, ini_, error)) {
    note = error;
    name_ = kDefaultLanguage;
    return false;
  }
  return true;
}

std::string LanguageTable::Text(std::string_view section, std::string_view key) const {
  if (auto o = Override(section, key)) return *o;
  if (auto e = EnglishText(section, key)) return std::string(*e);
  return std::string(key);
}

std::optional<std::string> LanguageTable::Override(std::string_view section, std::string_view key) const {
  std::string text;
  ReadText(ini_, section, key, text);
  if (text.empty()) return std::nullopt;
  return text;
}

std::string FormatText(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Flags, width and precision, then a length ("l", "ll", "I64"), then the conversion.
    size_t j = i + 1;
    while (j < pattern.size() && std::string_view("-+ #0123456789.").find(pattern[j]) != std::string_view::npos) ++j;
    if (pattern.substr(j).starts_with("I64")) j += 3;
    while (j < pattern.size() && (pattern[j] == 'l' || pattern[j] == 'h')) ++j;
    if (j < pattern.size() && std::string_view("sidu").find(pattern[j]) != std::string_view::npos) {
      if (next != args.end()) out += *next++;
      i = j;
      continue;
    }
    out += '%';  // not a conversion: kept as it is
  }
  return out;
}

ControlTexts LookUpControl(const LanguageTable& table, std::string_view section, uint32_t id, bool listView) {
  ControlTexts out;
  if (id == 65535) return out;
  auto text = table.Override(section, PreferredControlKey(id));
  if (!text) text = table.Override(section, ControlKey(id));
  if (!text) return out;
  if (listView) {
    std::string_view rest = *text;
    while (true) {
      const size_t semi = rest.find(';');
      out.columns.emplace_back(rest.substr(0, semi));
      if (semi == std::string_view::npos) break;
      rest.remove_prefix(semi + 1);
    }
    return out;
  }
  out.text = std::move(text);
  out.tooltip = table.Override(section, TooltipKey(id));
  return out;
}

}  // namespace torvane::app
