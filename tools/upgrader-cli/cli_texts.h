#pragma once

#include <QString>

// The command's own operator texts, each in Chinese and English side by side; --lang (or the
// configuration's is_english) picks one when it is shown. The launch's refusals and the
// configuration's failures bring their own two wordings.
struct CliText {
    const char *zh;
    const char *en;

    QString In(bool chinese) const { return QString::fromUtf8(chinese ? zh : en); }
};

namespace CliTexts {

extern const CliText kUpdateSuccess;
extern const CliText kUpdateFailed;
extern const CliText kPortNotOpened;       // %1 the port, %2 the system's reason
extern const CliText kPortGone;            // %1 the product id
extern const CliText kPortNotOpenedByJob;  // %1 the port
extern const CliText kImageInvalid;        // %1 the reason
extern const CliText kImageNotLoaded;      // %1 the path
extern const CliText kStoppedByTimeout;    // %1 seconds
extern const CliText kStoppedBySigint;
extern const CliText kStoppedBySigterm;
extern const CliText kJobDidNotEnd;        // %1 seconds
extern const CliText kNoFamilyDevice;
extern const CliText kNoDeviceAtPort;      // %1 the location or port name asked for
extern const CliText kSeveralFamilyDevices;
extern const CliText kBaseInApp;
extern const CliText kBaseInBoot;
extern const CliText kBaseNotSwitched;     // %1 the mode wanted (kModeApp or kModeBoot), %2 seconds
extern const CliText kModeApp;
extern const CliText kModeBoot;

}  // namespace CliTexts
