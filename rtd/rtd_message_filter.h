// The message filter of the window's thread, which never calls out to an
// Excel itself (the notifiers do, rtd/rtd_notifier.h): calls from Excel are
// always taken, and a call of COM's own that Excel rejects as busy fails at
// once rather than being retried on the window's thread
// (docs/one-thread.md: com).
#pragma once

// On the window's thread, after CoInitializeEx.
void install_message_filter();
// Before CoUninitialize.
void remove_message_filter();
