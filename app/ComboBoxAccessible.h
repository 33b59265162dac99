#pragma once

// Lets a drop-down list that has an accessible name be heard by it. On this platform Qt names a
// combo box by its current item, so two lists of numbers cannot be told apart; with this, a list
// given QWidget::accessibleName is named by it and its current item is its value; a list without
// a name is still named by its current item. Lists that take typing keep Qt's own interface.
// Call before the lists are made; safe to call more than once.
void InstallComboBoxAccessibility();
