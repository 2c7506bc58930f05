#pragma once

/** Makes the program's own controls speak to assistive technology. Known here: the list box
 *  (a list of its entries) and the image zone (a named one is a push button, an unnamed one is
 *  nothing). A class of a higher layer says what it is with Q_CLASSINFO("Accessible", ...):
 *  "window", a frame named by its title that exposes only its visible controls that speak, or
 *  "button", a push button named by its Text property and pressed through its Click() signal
 *  while its Enabled property holds. Call once, before the first window is made; calling it
 *  again does nothing. */
void InstallAccessibility();
