#pragma once
// Marks a text that the host hands to the window for the operator to read. The host links
// no Qt, so the mark is the text itself; the window's translation tools (lupdate, told that
// WK_WINDOW_TEXT spells QT_TRANSLATE_NOOP) collect it under `context`, and the window
// translates it in that context when it shows it.
#define WK_WINDOW_TEXT(context, text) text
