// The five pattern texts that define Velmira's file categories, and the
// lookups built on them. Membership is a substring test on the list text:
// "rm" is in audio ("*.rm|") and video ("*.rmvb|"), "ts" is in video
// ("*.mts|"), and an empty extension is in every list. One exception keeps a
// known extension in its own list: an extension that is a whole item of one
// of the five lists is in a list only when that list names it whole, so
// "avi" is not a photo through "*.avif|" nor "fla" audio through "*.flac|"
// (and "ra" is audio, not a photo through "*.raf|"). Each lookup tries the
// lists in its own order and the first list that holds the extension wins.
#pragma once

#include <string>
#include <string_view>

namespace velmira {

inline constexpr std::string_view kPhotoExtensions =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|"
    "*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|"
    "*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.heic|*.heif|*.avif|*.webp|*.cr3|*.rw2|*.dib|"
    "*.jfif|*.pct|*.tga|*.thm|";
inline constexpr std::string_view kAudioExtensions =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.flac|*.opus|*.aac|*.mp2|*.mmf|*.oga|*.mka|";
inline constexpr std::string_view kVideoExtensions =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|"
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|*.mod|"
    "*.webm|*.mpg|*.mxf|*.lrv|";
inline constexpr std::string_view kDocumentExtensions =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.html|"
    "*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.odp|*.epub|*.msg|*.db|*.sqlite|*.dot|"
    "*.wpt|*.xlt|*.xla|*.ett|*.pot|*.pps|*.dpt|*.docm|*.dotm|*.dotx|*.xlsb|*.xlsm|*.xlam|*.xltx|*.xltm|"
    "*.pptm|*.potx|*.potm|*.ppsx|*.ppsm|*.mso07|*.xps|*.xlw|";
inline constexpr std::string_view kArchiveExtensions =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso|*.apk|*.xz|*.tgz|";

// Pattern items beyond the lists: "*.*|" takes every file, "*.|" the files
// whose name has no extension (no ".", or nothing after the last one).
inline constexpr std::string_view kEveryFilePattern = "*.*|";
inline constexpr std::string_view kNoExtensionPattern = "*.|";
// Whether a search pattern holds those items, as written or converted for
// the engines ("*" to ".", "." to "\.").
[[nodiscard]] bool PatternTakesEveryFile(std::string_view pattern);
[[nodiscard]] bool PatternTakesNoExtension(std::string_view pattern);

enum class FileCategory { kPhoto, kAudio, kVideo, kDocument, kArchive, kOthers };

namespace extension_lists_detail {

// Whether `list` names `extension` as a whole item (".ext|", after "*" or "\\").
constexpr bool HoldsWholeItem(std::string_view list, std::string_view extension) {
  for (size_t at = list.find(extension); at != std::string_view::npos; at = list.find(extension, at + 1)) {
    const size_t end = at + extension.size();
    if (at >= 2 && list[at - 1] == '.' && (list[at - 2] == '*' || list[at - 2] == '\\') &&
        (end == list.size() || list[end] == '|'))
      return true;
  }
  return false;
}

constexpr bool IsKnownExtension(std::string_view extension) {
  for (std::string_view list :
       {kPhotoExtensions, kAudioExtensions, kVideoExtensions, kDocumentExtensions, kArchiveExtensions})
    if (HoldsWholeItem(list, extension)) return true;
  return false;
}

}  // namespace extension_lists_detail

// Substring membership, except for the whole items of the five lists (see
// above); the caller lower-cases the extension. `list` may be any pattern
// text in the "*.a|*.b|" form (or its converted ".\.a|" form).
[[nodiscard]] constexpr bool ListContains(std::string_view list, std::string_view extension) {
  if (list.find(extension) == std::string_view::npos) return false;
  if (extension.empty() || extension_lists_detail::HoldsWholeItem(list, extension)) return true;
  return !extension_lists_detail::IsKnownExtension(extension);
}

// The recovery category of a lower-case extension of at most 26 characters
// (see RecoveryCategoryOf): the first of photo, audio, video, document and
// archive whose list holds it, else others. The carved formats' rows state
// their category, and the signature table checks it against this answer
// when it is compiled.
[[nodiscard]] constexpr FileCategory CategoryOfExtension(std::string_view extension) {
  // The empty extension is in every list by substring: a file without one
  // is none of their kinds.
  if (extension.empty()) return FileCategory::kOthers;
  if (ListContains(kPhotoExtensions, extension)) return FileCategory::kPhoto;
  if (ListContains(kAudioExtensions, extension)) return FileCategory::kAudio;
  if (ListContains(kVideoExtensions, extension)) return FileCategory::kVideo;
  if (ListContains(kDocumentExtensions, extension)) return FileCategory::kDocument;
  if (ListContains(kArchiveExtensions, extension)) return FileCategory::kArchive;
  return FileCategory::kOthers;
}

// The text after the last "." of a name, lower-cased (ASCII); empty without ".".
[[nodiscard]] std::string ExtensionOf(std::string_view name);

// The recovery subfolder of a file: photo, audio, video, document, archive,
// else others, judged on at most 26 characters of extension. A name without
// extension goes to others.
[[nodiscard]] FileCategory RecoveryCategoryOf(std::string_view name);
[[nodiscard]] const char* RecoveryFolderName(FileCategory category);

// The preview's kind of a file: audio when the audio list holds the
// extension, video when the video list does (audio wins, so "rm" is audio),
// else a picture; a name without "." is a picture.
[[nodiscard]] FileCategory PreviewKindOf(std::string_view name);

// Where an engine puts a file it extracts for preview: the temporary video
// file "tmp.avi" (audio or video), the temporary picture "tmp.jpg" (photo),
// or memory for everything else.
enum class PreviewTarget { kTempMedia, kTempPicture, kMemory };
[[nodiscard]] PreviewTarget PreviewTargetOf(std::string_view name);
[[nodiscard]] const char* PreviewTempFileName(PreviewTarget target);  // "tmp.avi" / "tmp.jpg" / ""

// The row icon category of a file: photo, audio, document, video, archive,
// else others (folders and "exe" are the result view's own cases); a name
// without extension is others.
[[nodiscard]] FileCategory IconCategoryOf(std::string_view name);

}  // namespace velmira
