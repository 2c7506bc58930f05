#include "platform/ui/Announce.h"

#include <QAccessible>

void AnnounceNameChange(QObject* object)
{
    QAccessibleEvent changed(object, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
    QAccessibleEvent alert(object, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}
