#pragma once

class QObject;

/** Tells assistive technology that the object's name (its caption) changed and should be said:
 *  a name change, and an alert so that it is spoken even where the focus is elsewhere. */
void AnnounceNameChange(QObject* object);
