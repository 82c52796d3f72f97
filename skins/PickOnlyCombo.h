#pragma once

class QComboBox;

namespace tw {

// Only a pick from the list is a choice. Left alone, an editable box completes typed text
// to an entry (ignoring case) and, on Return or on losing the focus, turns typed text that
// names an entry into a pick of it: the dialog would then change without a pick.
void makePickOnly(QComboBox* box);

} // namespace tw
