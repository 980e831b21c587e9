#pragma once
// Notification message boxes ("Ketrel Notification", "Ketrel Query",
// "Ketrel Fatal Error"). The host decides how they are shown; without a
// handler the title and text are printed on stderr.
namespace ketrel {

inline constexpr const char kNotificationTitle[] = "Ketrel Notification";
inline constexpr const char kQueryTitle[] = "Ketrel Query";
inline constexpr const char kFatalErrorTitle[] = "Ketrel Fatal Error";

using MessageBoxHandler = void (*)(const char* title, const char* text, void* user);

// Returns the previous handler (and its user word through `previousUser`).
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler, void* user,
                                       void** previousUser = nullptr);
void ShowMessageBox(const char* title, const char* text);

}  // namespace ketrel
