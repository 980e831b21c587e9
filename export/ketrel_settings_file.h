#pragma once
// Settings files (.kes), their text dump, and "Label=value" edits from the
// command line.
#include <string>

#include "export/ketrel_settings_tree.h"

namespace ketrel {

// Writes the "Settings" blob at depth 1 to a temporary file beside `path`
// and renames it over `path`, so a failed save leaves an old file intact.
bool SaveSettingsFile(const SettingsItem* root, const char* path);
// Loads a settings file into "Settings" and pushes each category down to the
// objects under it, except into Locked properties. A missing, unreadable,
// corrupt or wrong file is reported and changes nothing.
bool LoadSettingsFile(SettingsItem* root, const char* path);
// The text dump of a "Settings" tree: each category's label, then
// "  label: text" for each of its properties except separators.
std::string FormatSettingsDump(const SettingsItem* root);
// Reads a settings file into a fresh default tree (the caller's scene is not
// touched) and gives its text dump in `out`. False (logged) on any fault.
bool DumpSettingsFileToText(const char* settingsPath, std::string& out);
// Same, writing the dump to `textPath` through a temporary file.
bool DumpSettingsFile(const char* settingsPath, const char* textPath);

// ---- Command-line edits ----

// Applies "Label=value" to the categories of "Settings": the label is looked
// up (case-insensitive) in "Root settings" and in each category, and every
// category that has it takes the value (in every combobox choice that holds
// it), which is then pushed down to the objects under that category (Locked
// properties keep theirs). "Category/Label=value" names one category, by
// item name ("Animations") or settings label ("Animation settings"), or one
// kind of object below them ("Bone animation settings": every such item and
// what lies below it). A bare label that stands for settings of different
// ids in several categories ("Position curve tolerance": animations and
// vertex morph curves) is refused, naming the categories, when more than one
// of them takes effect somewhere in the tree. Values: bools
// true/false/on/off/yes/no/1/0; numbers and ranges within their bounds
// (power-of-two ranges take the byte value, 16 not 4); combobox choices by
// label. False with a message otherwise (the nearest label or category, or
// the valid labels or values); nothing changes then.
bool SetCategorySettingByLabel(SettingsItem* root, const char* assignment, std::string& message);
// Applies "Label=value" to one animation (the item of that name under
// "Animations"): its own settings, its track groups' and their bones', each
// item that has the label taking the value (Locked properties keep theirs);
// "Bone animation settings/Label=value" only the items of that kind.
// False with a message, and nothing changed, when there is no such
// animation, no such setting in it, or the value does not fit.
bool SetClipSettingByLabel(SettingsItem* root, const char* clip, const char* assignment,
                           std::string& message);

}  // namespace ketrel
