#pragma once
// The ids of the program's texts in the string table (app/strings.cpp).

namespace qx {

constexpr int kStrAbout = 101;
constexpr int kStrTitle = 102;
constexpr int kStrProgramName = 103;  // also the title of the tray's balloons
constexpr int kStrBalloonHidden = 104;
constexpr int kStrExitQuestion = 105;
constexpr int kStrMinimizeToTray = 106;
constexpr int kStrHide = 107;
constexpr int kStrExit = 108;
constexpr int kStrComponentError = 109;
constexpr int kStrNotSelected = 110;
constexpr int kStrIsOpenBy = 111;
constexpr int kStrCreatingPort = 112;
constexpr int kStrDeletingPort = 113;
constexpr int kStrParameters = 116;
constexpr int kStrCannotCreatePort = 117;
constexpr int kStrNotOpenByAnyProgram = 118;
constexpr int kStrBaud = 119;
constexpr int kStrNoInterface = 120;
constexpr int kStrPortNotSelected = 121;
constexpr int kStrCurrentSelection = 122;
constexpr int kStrRemoveAllQuestion = 123;
constexpr int kStrTakesEffectAtNextStart = 124;
constexpr int kStrTrayTip = 130;
constexpr int kStrDirNotPrivate = 160;
constexpr int kStrLockCallFailed = 161;
constexpr int kStrHeldWithoutAnswer = 162;
constexpr int kStrNoneRunning = 163;
constexpr int kStrDidNotEnd = 164;
constexpr int kStrDidNotAnswer = 169;
constexpr int kStrSaveFailed = 165;
constexpr int kStrGuardianFailed = 166;
constexpr int kStrNoDisplay = 170;
constexpr int kStrCopyPath = 180;
constexpr int kStrPortReady = 181;  // a created port's balloon line: its number and path
constexpr int kStrPortNotCreated = 182;
constexpr int kStrBytesDropped = 183;
constexpr int kStrWaitingForInterface = 184;  // ports kept while their interface is away
constexpr int kStrKeepPortsTip = 185;         // what turning "Remove ports..." off is good for
constexpr int kStrKeyingUnguarded = 187;      // an interface no transmitter guard holds
// What the program prints in a terminal or the journal.
constexpr int kStrHelpUsage = 200;
constexpr int kStrHelpOptions = 222;
constexpr int kStrHelpFiles = 223;  // the settings file, then the ports directory
constexpr int kStrUsageHint = 201;
constexpr int kStrSetPortNeedsOperands = 202;
constexpr int kStrUnknownOption = 203;
constexpr int kStrJsonNeedsStatus = 204;
constexpr int kStrOnlyOneOf = 205;
constexpr int kStrAlreadyRunningShown = 206;
constexpr int kStrAlreadyRunningHidden = 207;
constexpr int kStrSettingsSetAside = 208;
constexpr int kStrPortsPublished = 209;
constexpr int kStrNoticesFrom = 210;
constexpr int kStrMalformedQuery = 211;
constexpr int kStrUnknownChannel = 212;
constexpr int kStrBadPortNumber = 213;
constexpr int kStrNoSuchInterface = 214;
constexpr int kStrPortInUse = 215;
constexpr int kStrUnknownRequest = 216;
constexpr int kStrChannelOf = 217;  // "<channel> of <serial>: <outcome>"
constexpr int kStrNoPort = 218;
constexpr int kStrNotSupported = 219;
constexpr int kStrNoPortComponent = 220;
constexpr int kStrUnreadableAnswer = 221;
constexpr int kStrCannotOpenInterface = 225;
constexpr int kStrLockDirFound = 236;  // the owner and mode found, and the user's own uid
// 260..282: the words of --status, in the order of manager/interface_status.h's StatusWord.
constexpr int kStrStatusWords = 260;
// Lines to standard error (the journal of the user service).
constexpr int kStrTimerNotMade = 226;
constexpr int kStrTimerNotSet = 227;
constexpr int kStrWaitFailed = 228;
constexpr int kStrPortTrouble = 229;    // "Port %s: %s", with the port's name and the cause
constexpr int kStrPortServed = 230;     // with the port's name
constexpr int kStrRelayEnded = 231;     // with the port's name and why the relay ended
constexpr int kStrNameStillHeld = 232;  // with the port's name and the cause
constexpr int kStrUdevUnavailable = 233;
constexpr int kStrKernelUevents = 234;      // where device notices come from without udev
constexpr int kStrNameHeldByAnother = 235;  // with the port's name and its device's name
constexpr int kStrGuardianEnded = 238;
// 400..: the causes a failure now carries to the user.
constexpr int kStrPortNotMadeBecause = 400;   // "COM%i cannot be created: %s", with the cause
constexpr int kStrPortNumberTaken = 401;      // COM%i is another channel's
constexpr int kStrAutostartNotChanged = 402;  // with the cause
constexpr int kStrInterfaceUnguarded = 403;   // with the interface's key and the cause
constexpr int kStrInstanceNotAsked = 404;     // with the cause
// The about box.
constexpr int kStrLicence = 224;
// Names a screen reader gives controls whose visible text alone does not say what they are for.
constexpr int kStrAddPortFor = 250;  // "Add a port for %s", with the channel's title
constexpr int kStrTestOf = 251;      // "%s test", with "PTT" or "CW"
constexpr int kStrProgramMenu = 252;

}  // namespace qx
