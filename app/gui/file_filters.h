// The file kinds the open dialogs offer, written as pairs of a name and
// ";"-separated patterns ("Video Files|*.AVI;*.MP4;"), and their form for
// Qt's dialogs, where each extension matches in any letter case.
#pragma once

#include <QString>
#include <QStringList>
#include <string_view>

namespace tavrin {

inline constexpr std::string_view kVideoFileFilter =
    "Video Files|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.3G2;*.M4V;*.MP4;*.MPG;"
    "*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.SWF;";

inline constexpr std::string_view kAudioFileFilter =
    "All Supported Audio Formats|*.MP3;*.AAC;*.WAV;*.WMA;*.OGG;*.CDA;*.FLAC;*.M4A;*.MID;*.MKA;"
    "*.MP2;*.MPA;*.MPC;*.APE;*.OFR;*.OGG;*.RA;*.WV;*.TTA;*.AC3;*.DTS;|"
    "All Supported Video Formats|*.AVI;*.AVM;*.ASF;*.WMV;*.AVS;*.FLV;*.MKV;*.MOV;*.3GP;*.3G2;"
    "*.M4V;*.MP4;*.MPG;*.MPEG;*.DAT;*.OGM;*.VOB;*.RM;*.RMVB;*.TS;*.TP;*.IFO;*.NSV;*.SWF;";

// Qt name filters, one per kind: "Video Files (*.[aA][vV][iI] ...)". Linux
// file names keep their case, and "clip.mp4" is as much a video as "CLIP.MP4".
QStringList DialogNameFilters(std::string_view filter);

// Whether a file name matches one of the name filters.
bool MatchesNameFilters(const QString& fileName, const QStringList& nameFilters);

}  // namespace tavrin
