#pragma once

#include "stationconfig.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTableWidget;

// The station's settings for the supervisor: the slots (name, and the port or adapter serial
// number each is bound to), the image, the guards, the log file and whether the station opens
// locked.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(const StationConfig &config, QWidget *parent = nullptr);

    // What was set, once accepted.
    StationConfig config() const { return m_config; }

    void accept() override;

private:
    void addSlot(const SlotConfig &slot);
    // The settings as typed; an error, or empty.
    QString read(StationConfig *config) const;

    StationConfig m_config;
    QTableWidget *m_table;
    QLineEdit *m_image;
    QLineEdit *m_hardware;
    QLineEdit *m_skip;
    QLineEdit *m_log;
    QCheckBox *m_locked;
    QLabel *m_problem;
};
