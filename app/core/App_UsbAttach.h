#pragma once

#include <functional>
#include <string>
#include <vector>

#include "library/sources/MultiSource.h"

class TVQSessionItem;
class TZepApp;

// USB counters plugged in while the application runs: every closed counter
// session whose device is the one that arrived opens itself again.

// The part of a connection string that names the device: without the user
// option ("USERID=" + digits, wherever it stands) and without the "USB: "
// of a counter listed by its serial number, trimmed.
std::string UsbDeviceName(const std::string& openString);

// Opens a session; true when it opened.
using TUsbSessionOpener = std::function<bool(TVQSessionItem& session)>;

// When the session is closed and has a connection whose device name occurs
// in `serialNumberText`, opens it through `open` and logs the outcome to the
// session's debug log. True when it was opened.
bool CheckUsbAttached(TVQSessionItem& session, const std::string& serialNumberText, const TUsbSessionOpener& open);

// A counter arrived: logs it to the main debug log and lets every counter
// session try CheckUsbAttached, opening through the application.
void UsbAttached(TZepApp& app, const std::string& serial);
// A counter left: logged only (a session on it learns that from its polls).
void UsbDetached(TZepApp& app, const std::string& serial);

// The events the monitor delivered, in order: counters to UsbAttached and
// UsbDetached, serial ports and other devices to the main debug log.
void HandleUsbEvents(TZepApp& app, const std::vector<TUsbEvent>& events);
