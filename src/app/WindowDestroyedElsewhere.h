#pragma once

class QWidget;

namespace kestrune::app {

// Closes `window` (a shown top-level widget) as if its user had, once another X client
// destroys its native window. Does nothing on other platforms.
void closeWhenDestroyedElsewhere(QWidget* window);

} // namespace kestrune::app
