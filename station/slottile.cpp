#include "slottile.h"

#include "fittedlabel.h"

#include <QAccessible>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

constexpr int KeptPortEnd = 32; // the characters of a long port's end that stay visible

struct LookStyle
{
    const char *symbol;
    const char *colour; // the frame's colour, beside the symbol and the words
};

LookStyle styleOf(SlotTile::Look look)
{
    switch (look) {
    case SlotTile::Look::Waiting:
        return {"\u25cb", "#5a6b7b"}; // white circle
    case SlotTile::Look::Updating:
        return {"\u27f3", "#1f5fbf"}; // clockwise arrow
    case SlotTile::Look::Updated:
        return {"\u2714", "#1e7b34"}; // check mark
    case SlotTile::Look::Failed:
        return {"\u2716", "#b3261e"}; // heavy cross
    case SlotTile::Look::Attention:
        return {"\u26a0", "#8a6100"}; // warning sign
    case SlotTile::Look::Stopped:
        break;
    }
    return {"\u25a0", "#5a6b7b"}; // black square
}

QFont scaledFont(const QFont &base, double points, bool bold)
{
    QFont font = base;
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

// The symbol that goes with each look.
QString lookSymbol(SlotTile::Look look)
{
    return QString::fromUtf8(styleOf(look).symbol);
}

} // namespace

SlotTile::SlotTile(const QString &name, QWidget *parent)
    : QFrame(parent), m_name(new QLabel(name, this)), m_port(new FittedLabel(this)),
      m_state(new QLabel(this)), m_adviceLabel(new QLabel(this)), m_versions(new FittedLabel(this)),
      m_bar(new QProgressBar(this)), m_counts(new QLabel(this))
{
    setObjectName(QStringLiteral("slotTile"));
    setFrameShape(QFrame::Box);
    setLineWidth(FrameWidth);
    setFocusPolicy(Qt::TabFocus);
    // The panel's grid decides a tile's size, and the panel picks the fonts that fit it
    // (SlotPanel::fitText): no tile's words widen or lengthen the window past its screen.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    const std::pair<QWidget *, const char *> names[] = {
        {m_name, "slotName"},          {m_port, "slotPort"},         {m_state, "slotState"},
        {m_adviceLabel, "slotAdvice"}, {m_versions, "slotVersions"}, {m_bar, "slotProgress"},
        {m_counts, "slotCounts"}};
    for (const auto &[widget, name] : names)
        widget->setObjectName(QLatin1String(name));
    m_state->setWordWrap(true);
    m_adviceLabel->setWordWrap(true);
    m_adviceLabel->hide();
    // A long port path gives way to the tile's width, keeping its end, where adapters differ; the
    // versions line shrinks, then elides, before the tile grows.
    m_port->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_versions->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_bar->setRange(0, 100);
    m_bar->setValue(0);
    // The words say the percentage; the bar is a thin line beneath them.
    m_bar->setTextVisible(false);

    auto *top = new QHBoxLayout;
    top->addWidget(m_name);
    top->addWidget(m_port, 1);
    top->addWidget(m_counts);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_state, 1);
    layout->addWidget(m_adviceLabel);
    layout->addWidget(m_versions);
    layout->addWidget(m_bar);
    layout->setSpacing(Spacing);
    layout->setContentsMargins(Margin, Margin, Margin, Margin);
    setScale(1.0);
    setCounts(0, 0);
    applyLook(m_look);
    setState(m_look, QStringLiteral("Stopped"));
}

SlotTile::Fonts SlotTile::fontsAt(const QFont &base, double scale)
{
    return {scaledFont(base, 12 * scale, true),  scaledFont(base, 15 * scale, true),
            scaledFont(base, 10 * scale, false), scaledFont(base, 10 * scale, false),
            scaledFont(base, 9 * scale, false),  scaledFont(base, 9 * scale, false)};
}

int SlotTile::heightNeeded(const QFont &base, double scale, int width, const QString &words,
                           const QString &advice)
{
    const Fonts fonts = fontsAt(base, scale);
    const int text = width - 2 * (Margin + FrameWidth);
    const auto wrapped = [text](const QFont &font, const QString &words) {
        return QFontMetrics(font)
            .boundingRect(QRect(0, 0, text, 100000), Qt::TextWordWrap, words)
            .height();
    };
    const int top =
        std::max(QFontMetrics(fonts.name).height(), QFontMetrics(fonts.counts).height());
    return 2 * (Margin + FrameWidth) + top + wrapped(fonts.state, words) +
           wrapped(fonts.advice, advice) + QFontMetrics(fonts.versions).height() +
           barHeight(scale) + 4 * Spacing;
}

int SlotTile::barHeight(double scale)
{
    return int(5 * scale + 0.5);
}

void SlotTile::setScale(double scale)
{
    const Fonts fonts = fontsAt(font(), scale);
    m_name->setFont(fonts.name);
    m_state->setFont(fonts.state);
    m_adviceLabel->setFont(fonts.advice);
    m_counts->setFont(fonts.counts);
    m_versions->setFont(fonts.versions);
    m_port->setFont(fonts.port);
    m_bar->setFixedHeight(barHeight(scale));
}

void SlotTile::setSlotName(const QString &name)
{
    m_name->setText(name);
    tellAssistiveTechnology();
}

void SlotTile::setPort(const QString &port, const QString &adapter)
{
    const QString text = adapter.isEmpty() ? port : port + QStringLiteral(" \u2013 ") + adapter;
    m_port->setTextKeepingEnds(text, {0, std::min(int(text.size()), KeptPortEnd)});
    m_port->setToolTip(text);
}

void SlotTile::setState(Look look, const QString &words, const QString &details)
{
    // Called as an update progresses: only what changed is redone, and the style sheets (which
    // polish the whole tile again) only with the look.
    if (look == m_look && words == m_words && details == m_details)
        return;
    // Each percent of an update is the bar's to tell, not a change of state.
    const bool changed = look != m_look || (words != m_words && look != Look::Updating);
    if (look != m_look)
        applyLook(look);
    m_look = look;
    m_words = words;
    m_details = details;
    m_state->setText(stateText());
    m_state->setToolTip(details);
    setToolTip(details);
    setAccessibleDescription(details.isEmpty() ? stateText() : details);
    if (look != Look::Updating)
        m_bar->setFormat(look == Look::Updated ? QStringLiteral("%p%") : QString());
    if (changed)
        tellAssistiveTechnology();
}

void SlotTile::setAdvice(const QString &advice)
{
    if (advice == m_advice)
        return;
    m_advice = advice;
    m_adviceLabel->setText(advice);
    m_adviceLabel->setVisible(!advice.isEmpty());
    tellAssistiveTechnology();
}

void SlotTile::applyLook(Look look)
{
    setStyleSheet(QStringLiteral("SlotTile { color: palette(text); border: 3px solid %1; }")
                      .arg(QLatin1String(styleOf(look).colour)));
    m_state->setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(styleOf(look).colour)));
    m_adviceLabel->setStyleSheet(m_state->styleSheet());
}

QString SlotTile::stateText() const
{
    return lookSymbol(m_look) + QLatin1Char(' ') + m_words;
}

void SlotTile::setVersions(const QString &versions)
{
    m_versions->setText(versions);
    m_versions->setToolTip(versions);
}

void SlotTile::setProgress(int percent)
{
    if (percent < 0) {
        m_bar->setValue(0);
        m_bar->setFormat(QString());
        return;
    }
    m_bar->setFormat(QStringLiteral("%p%"));
    if (m_bar->value() == percent)
        return;
    m_bar->setValue(percent);
    QAccessibleValueChangeEvent event(m_bar, percent);
    QAccessible::updateAccessibility(&event);
}

void SlotTile::setCounts(int updated, int failed)
{
    m_updated = updated;
    m_failed = failed;
    m_counts->setText(QStringLiteral("\u2714 %1   \u2716 %2").arg(updated).arg(failed));
    m_counts->setToolTip(QStringLiteral("%1 updated, %2 failed").arg(updated).arg(failed));
    m_counts->setAccessibleName(m_counts->toolTip());
}

void SlotTile::tellAssistiveTechnology()
{
    setAccessibleName(m_name->text() + QStringLiteral(": ") + m_words +
                      (m_advice.isEmpty() ? QString() : QStringLiteral(" \u2013 ") + m_advice));
    QAccessibleEvent named(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&named);
    QAccessibleEvent described(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&described);
}
