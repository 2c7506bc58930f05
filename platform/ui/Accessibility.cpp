#include "platform/ui/Accessibility.h"

#include "platform/ui/ImageZone.h"
#include "platform/ui/ListBox.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMetaClassInfo>
#include <QPointer>
#include <QWindow>

namespace {

/** One entry of a ListBox as assistive technology sees it. */
class ListBoxItemAccessible : public QAccessibleInterface {
public:
    ListBoxItemAccessible(ListBox* box, int row) : box_(box), row_(row) {}
    bool isValid() const override { return box_ && row_ < box_->ListCount(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return box_ ? box_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override
    {
        return QAccessible::queryAccessibleInterface(box_);
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name && isValid() ? box_->List(row_) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override
    {
        if (!isValid()) return {};
        const QRect r = box_->ItemRect(row_);
        return QRect(box_->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.selectable = true;
        s.focusable = true;
        s.selected = isValid() && box_->Selected(row_);
        s.invisible = !isValid();
        return s;
    }

private:
    QPointer<ListBox> box_;
    int row_;
};

/** The list box itself: a list whose children are its entries. */
class ListBoxAccessible : public QAccessibleWidget {
public:
    explicit ListBoxAccessible(ListBox* box) : QAccessibleWidget(box, QAccessible::List) {}
    ~ListBoxAccessible() override
    {
        for (QAccessible::Id id : std::as_const(items_))
            QAccessible::deleteAccessibleInterface(id);
    }
    int childCount() const override { return box()->ListCount(); }
    QAccessibleInterface* child(int index) const override
    {
        if (index < 0 || index >= box()->ListCount()) return nullptr;
        auto it = items_.constFind(index);
        if (it != items_.constEnd()) return QAccessible::accessibleInterface(*it);
        auto* item = new ListBoxItemAccessible(box(), index);
        items_.insert(index, QAccessible::registerAccessibleInterface(item));
        return item;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        for (auto it = items_.constBegin(); it != items_.constEnd(); ++it)
            if (QAccessible::accessibleInterface(it.value()) == child) return it.key();
        return -1;
    }

private:
    ListBox* box() const { return static_cast<ListBox*>(widget()); }
    mutable QHash<int, QAccessible::Id> items_;
};

/** A named zone is a push button (the close zones); an unnamed one is no control at all. */
class ImageZoneAccessible : public QAccessibleWidget {
public:
    explicit ImageZoneAccessible(ImageZone* zone) : QAccessibleWidget(zone, QAccessible::Button) {}
    QAccessible::Role role() const override
    {
        return widget()->accessibleName().isEmpty() ? QAccessible::NoRole : QAccessible::Button;
    }
    QStringList actionNames() const override
    {
        return role() == QAccessible::Button ? QStringList{pressAction()} : QStringList{};
    }
    void doAction(const QString& action) override
    {
        if (action == pressAction() && role() == QAccessible::Button)
            Q_EMIT static_cast<ImageZone*>(widget())->Click();
    }
};

/** A window as assistive technology sees it: a frame named by its title, holding only the
 *  controls a user can see and use (no hidden lists, no drag zones). */
class WindowAccessible : public QAccessibleWidget {
public:
    explicit WindowAccessible(QWidget* form) : QAccessibleWidget(form, QAccessible::Window) {}
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? widget()->windowTitle() : QAccessibleWidget::text(t);
    }
    int childCount() const override { return int(exposed().size()); }
    QAccessibleInterface* child(int index) const override
    {
        const QList<QWidget*> children = exposed();
        return index >= 0 && index < children.size()
                   ? QAccessible::queryAccessibleInterface(children[index])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child ? int(exposed().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
    }

private:
    QList<QWidget*> exposed() const
    {
        QList<QWidget*> shown;
        for (QWidget* w : widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (w->isWindow() || !w->isVisibleTo(widget())) continue;
            const QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
            if (iface && iface->role() != QAccessible::NoRole) shown << w;
        }
        return shown;
    }
};

/** A push button named by its Text property, pressed through its Click() signal. */
class TextButtonAccessible : public QAccessibleWidget {
public:
    explicit TextButtonAccessible(QWidget* button) : QAccessibleWidget(button, QAccessible::Button)
    {
        addControllingSignal(QStringLiteral("Click()"));
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name) return widget()->property("Text").toString();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override
    {
        if (action == pressAction() && widget()->property("Enabled").toBool())
            QMetaObject::invokeMethod(widget(), "Click");
    }
};

/** What a class says it is with Q_CLASSINFO("Accessible", ...), or empty. */
QByteArray DeclaredKind(const QObject* object)
{
    const QMetaObject* meta = object->metaObject();
    const int at = meta->indexOfClassInfo("Accessible");
    return at >= 0 ? QByteArray(meta->classInfo(at).value()) : QByteArray();
}

QAccessibleInterface* Factory(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType()) return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (className == QLatin1String("ListBox"))
        return new ListBoxAccessible(static_cast<ListBox*>(widget));
    if (className == QLatin1String("ImageZone"))
        return new ImageZoneAccessible(static_cast<ImageZone*>(widget));
    // Asked once per class on the way up the class chain: answer for the declaring class only.
    if (className != QLatin1String(object->metaObject()->className())) return nullptr;
    const QByteArray kind = DeclaredKind(object);
    if (kind == "window") return new WindowAccessible(widget);
    if (kind == "button") return new TextButtonAccessible(widget);
    return nullptr;
}

} // namespace

void InstallAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(&Factory);
        return true;
    }();
    Q_UNUSED(installed);
}
