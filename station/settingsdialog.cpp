#include "settingsdialog.h"

#include "stationoptions.h"
#include "targetoptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum Column
{
    NameColumn,
    KindColumn,
    ValueColumn,
};

// A path field with a button beside it that chooses the path in a file dialog.
QWidget *withBrowseButton(QLineEdit *field, const char *name, bool save, const QString &filter)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(field, 1);
    auto *browse = new QPushButton(QStringLiteral("Browse\u2026"), row);
    browse->setObjectName(QLatin1String(name));
    layout->addWidget(browse);
    QObject::connect(browse, &QPushButton::clicked, field, [field, save, filter] {
        const QString start = field->text().isEmpty() ? field->placeholderText() : field->text();
        const QString path =
            save ? QFileDialog::getSaveFileName(field->window(), QString(), start, filter, nullptr,
                                                QFileDialog::DontConfirmOverwrite)
                 : QFileDialog::getOpenFileName(field->window(), QString(), start, filter);
        if (!path.isEmpty())
            field->setText(path);
    });
    return row;
}

QStringList words(const QString &text)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

} // namespace

SettingsDialog::SettingsDialog(const StationConfig &config, QWidget *parent)
    : QDialog(parent), m_config(config), m_table(new QTableWidget(0, 3, this)),
      m_image(new QLineEdit(config.imagePath, this)),
      m_hardware(new QLineEdit(config.hardware.join(QStringLiteral(", ")), this)),
      m_skip(new QLineEdit(config.skipFirmware.join(QStringLiteral(", ")), this)),
      m_log(new QLineEdit(config.logPath, this)),
      m_locked(new QCheckBox(QStringLiteral("Opens l&ocked for operators"), this)),
      m_problem(new QLabel(this))
{
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(QStringLiteral("Station settings"));
    m_table->setObjectName(QStringLiteral("slotTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Slot"), QStringLiteral("Bound by"),
                                        QStringLiteral("Port or serial number")});
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_locked->setObjectName(QStringLiteral("openLocked"));
    m_locked->setChecked(config.locked);
    m_image->setObjectName(QStringLiteral("imagePath"));
    m_log->setObjectName(QStringLiteral("logPath"));
    for (const SlotConfig &slot : std::as_const(config.fixture))
        addSlot(slot);
    m_problem->setObjectName(QStringLiteral("settingsProblem"));
    m_problem->setWordWrap(true);
    m_log->setPlaceholderText(defaultLogPath());
    m_hardware->setPlaceholderText(QStringLiteral("any, or versions such as 05.07"));

    auto *addButton = new QPushButton(QStringLiteral("&Add slot"), this);
    auto *removeButton = new QPushButton(QStringLiteral("&Remove slot"), this);
    connect(addButton, &QPushButton::clicked, this, [this] {
        addSlot({defaultSlotName(m_table->rowCount()), PortTarget::named(QString())});
    });
    connect(removeButton, &QPushButton::clicked, this,
            [this] { m_table->removeRow(m_table->currentRow()); });
    auto *slotButtons = new QHBoxLayout;
    slotButtons->addWidget(addButton);
    slotButtons->addWidget(removeButton);
    slotButtons->addStretch();

    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("&Image:"),
                 withBrowseButton(m_image, "browseImage", false, QLatin1String(ImageFileFilter)));
    form->addRow(QStringLiteral("Only &hardware:"), m_hardware);
    form->addRow(QStringLiteral("S&kip firmware:"), m_skip);
    form->addRow(QStringLiteral("&Log file:"),
                 withBrowseButton(m_log, "browseLog", true,
                                  QStringLiteral("Record logs (*.jsonl);;All files (*)")));
    form->addRow(QString(), m_locked);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_table, 1);
    layout->addLayout(slotButtons);
    layout->addLayout(form);
    layout->addWidget(m_problem);
    layout->addWidget(buttons);
    resize(640, 480);
}

void SettingsDialog::addSlot(const SlotConfig &slot)
{
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    m_table->setItem(row, NameColumn, new QTableWidgetItem(slot.name));
    auto *kind = new QComboBox(m_table);
    kind->addItems({QStringLiteral("Port name or path"), QStringLiteral("Adapter serial number")});
    kind->setCurrentIndex(slot.target.kind == PortTarget::Kind::SerialNumber ? 1 : 0);
    m_table->setCellWidget(row, KindColumn, kind);
    // The column as wide as its longest choice, so that "Port name or path" reads whole.
    m_table->horizontalHeader()->resizeSection(
        KindColumn,
        std::max(m_table->horizontalHeader()->sectionSize(KindColumn), kind->sizeHint().width()));
    m_table->setItem(row, ValueColumn, new QTableWidgetItem(slot.target.value));
}

QString SettingsDialog::read(StationConfig *config) const
{
    config->fixture.clear();
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QString name = m_table->item(row, NameColumn)->text().trimmed();
        const QString value = m_table->item(row, ValueColumn)->text().trimmed();
        const bool bySerial =
            qobject_cast<QComboBox *>(m_table->cellWidget(row, KindColumn))->currentIndex() == 1;
        if (value.isEmpty())
            return QStringLiteral("Slot %1 has no port or serial number.").arg(row + 1);
        config->fixture.append(
            {name.isEmpty() ? defaultSlotName(row) : name,
             bySerial ? PortTarget::bySerialNumber(value) : PortTarget::named(value)});
    }
    config->imagePath = m_image->text().trimmed();
    config->logPath = m_log->text().trimmed();
    config->locked = m_locked->isChecked();
    config->hardware.clear();
    config->skipFirmware.clear();
    QString error =
        readVersions(words(m_hardware->text()), QStringLiteral("Only hardware"), &config->hardware);
    if (error.isEmpty())
        error = readVersions(words(m_skip->text()), QStringLiteral("Skip firmware"),
                             &config->skipFirmware);
    return error;
}

void SettingsDialog::accept()
{
    StationConfig config = m_config;
    const QString error = read(&config);
    if (!error.isEmpty()) {
        m_problem->setText(error);
        return;
    }
    m_config = config;
    QDialog::accept();
}
