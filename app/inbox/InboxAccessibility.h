#pragma once

#include <initializer_list>

// What assistive technology is told about the inbox's windows beyond what Qt tells by
// itself: the inbox window is a frame, and the fields a message is shown in are read-only
// text, not text to edit. Installs once; each window calls it.
void installInboxAccessibility();

class QBoxLayout;
class QWidget;

// Adds a plain row to layout: the left buttons, a stretch and the right one. A button box would
// reorder them on screen but not for assistive technology.
void addButtonRow(QBoxLayout& layout, std::initializer_list<QWidget*> left, QWidget* right);
