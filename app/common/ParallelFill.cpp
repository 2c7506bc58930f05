#include "app/common/ParallelFill.h"

#include "platform/ui/ListBox.h"
#include "web/Functions1.h"

#include <QCoreApplication>

qsizetype FillParallelLists(const std::function<ListPair()>& lists,
                            const std::function<bool()>& keepGoing)
{
    qsizetype added = 0;
    QString item;
    while (ReplyText.containsSeparator()) {
        QCoreApplication::processEvents();
        // A handler that ran meanwhile may have taken the reply or the lists over.
        if ((keepGoing && !keepGoing()) || !ReplyText.takeItem(item)) break;
        const auto [odd, even] = lists();
        (added % 2 == 0 ? odd : even)->AddItem(item);
        ++added;
    }
    return added;
}
