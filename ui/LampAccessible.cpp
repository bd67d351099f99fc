#include "LampAccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include "TShape.h"
#include "Unit1.h"

namespace {

constexpr int LampsPerPort = 8;
constexpr int InputLampCount = 16;

class LampAccessibleInterface final : public QAccessibleWidget {
public:
    explicit LampAccessibleInterface(TShape *lamp) : QAccessibleWidget(lamp, QAccessible::CheckBox) {}

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Description)
            return lampAccessibleState(shape()->brushColor());
        if (kind == QAccessible::Name && widget()->accessibleName().isEmpty() && lampNumber() != 0)
            return lampAccessibleName(lampNumber());
        return QAccessibleWidget::text(kind);
    }

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = true;
        state.checked = shape()->brushColor() != clLime;
        state.readOnly = lampNumber() != 0 && lampNumber() <= InputLampCount; // input lamps show, never take
        return state;
    }

private:
    TShape *shape() const { return static_cast<TShape *>(widget()); }

    // The lamp's number on its window, or 0 for a lamp on no panel.
    int lampNumber() const {
        const auto *form = qobject_cast<const TForm1 *>(widget()->parentWidget());
        for (int lamp = 1; form != nullptr && lamp <= LampCount; ++lamp)
            if (form->lamp(lamp) == widget())
                return lamp;
        return 0;
    }
};

QAccessibleInterface *lampInterface(const QString &className, QObject *object) {
    auto *lamp = qobject_cast<TShape *>(object);
    if (className != QLatin1String("TShape") || lamp == nullptr)
        return nullptr;
    return new LampAccessibleInterface(lamp);
}

} // namespace

QString lampAccessibleName(int lamp) {
    static const char *const captions[] = {"Port 0", "Port 1", "Port 10", "Port 11"};
    if (lamp < 1 || lamp > LampCount)
        return {};
    const int index = lamp - 1;
    return QStringLiteral("%1 bit %2")
        .arg(QLatin1String(captions[index / LampsPerPort]))
        .arg(index % LampsPerPort);
}

QString lampAccessibleState(TColor color) {
    return color == clLime ? QStringLiteral("off") : QStringLiteral("on");
}

void installLampAccessibility() {
    static const bool installed = (QAccessible::installFactory(lampInterface), true);
    Q_UNUSED(installed);
}
