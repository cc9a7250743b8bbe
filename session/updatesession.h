#pragma once

#include "deviceturnover.h"
#include "framecodec.h"
#include "imagesource.h"
#include "porttarget.h"
#include "serialline.h"
#include "servedpieces.h"
#include "sessionresult.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include <chrono>
#include <optional>

// How a session runs.
struct SessionSettings
{
    PortTarget target;
    bool infoOnly = false; // find the device and report its versions; START never goes out
    // How long the port may take to appear and open, and the device to answer the probes and the
    // version query, for each update; 0 waits without limit.
    std::chrono::milliseconds wait{10000};
    // How long the device may send nothing the update can act on once START has gone out.
    std::chrono::milliseconds silenceLimit{2000};
    bool repeat = false;     // after each result, stay on the port for the next device
    bool labelTrace = false; // name the port in the wire trace (several ports at once)
    RetryAdvice retry;       // how the explanations say "try again"
    // Guards for a production line, versions as "05.07": a board whose hardware is not one of
    // these (when any is given) gets nothing after GET_VERSION; a board that already has one of
    // the skipped firmware versions is left as it is.
    QStringList hardware;
    QStringList skipFirmware;
};

// Runs the firmware update on one port, with the window's conduct on the wire: PING every 200 ms
// until RSP_PRESENT, GET_VERSION every 200 ms until RSP_VERSION, START, one frame per data
// request (the image's piece, or END at or past its end), RSP_DONE or RSP_CANCELLED. No widgets:
// it reports through signals, one finished() per update. Each session owns its port, its receive
// parser and its timers, so that any number run side by side in one thread.
class UpdateSession : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        WaitingForPort,  // the port is missing or cannot be opened yet
        Probing,         // PING every 200 ms until RSP_PRESENT
        VersionQuery,    // GET_VERSION every 200 ms until RSP_VERSION
        Starting,        // START sent, waiting for the first data request
        Transferring,    // answering data requests
        Finishing,       // END sent, waiting for RSP_DONE
        AwaitingRemoval, // --repeat: the device just handled is still there (DeviceTurnover)
        AwaitingNext,    // --repeat: it has left; the next device to answer a probe is updated
        Ended,           // the port is closed; nothing more happens
    };
    Q_ENUM(State)

    static constexpr std::chrono::milliseconds ReopenInterval{250};

    // image is the run's image, hashed already (nullptr with infoOnly): the session serves its
    // own copy of it, and hashes it again only when the file has changed.
    UpdateSession(const SessionSettings &settings, const ImageSource *image,
                  QObject *parent = nullptr);
    ~UpdateSession() override;

    // Starts looking for the port; the first update's record begins now.
    void start();
    // Ends the session at once: an update that has not reached its result ends as Interrupted,
    // and the port is closed. Emits ended().
    void interrupt();
    // Takes no further board: an update that has started (START sent) goes on to its result,
    // then the session ends; a session with no board under way ends now, without a record.
    void stopTakingBoards();
    // Updates again, at once, the board whose update just failed, when it is still on the port
    // (AwaitingRemoval) and the failure is one a retry can mend (retryCanMend: never a guard's
    // refusal): it is probed and asked its versions as a new board would be. Does nothing
    // otherwise; true when it went ahead.
    bool retryFailedBoard();
    // True when retryFailedBoard() would go ahead now.
    bool canRetry() const;

    State state() const { return m_state; }
    bool portOpen() const { return m_line.isOpen(); }
    // The adapter behind the port as last opened; none for a port the system does not list.
    const std::optional<AdapterDetails> &adapter() const { return m_adapter; }
    // True from START to the update's result: stopping now would leave the board half written.
    bool changingBoard() const
    {
        return m_state == State::Starting || m_state == State::Transferring ||
               m_state == State::Finishing;
    }
    // The port has gone while the session waits between boards (a board that restarted took it
    // along, an adapter pulled out): there is no board on it to wait for until it comes back. Both
    // front ends tell it by this rule.
    static bool portGoneBetweenBoards(State state, bool portOpen)
    {
        return !portOpen && (state == State::AwaitingRemoval || state == State::AwaitingNext);
    }
    bool portGoneBetweenBoards() const { return portGoneBetweenBoards(m_state, portOpen()); }
    // The port's name as given, or the adapter's port once found, or the target's label.
    QString portName() const;
    const SessionSettings &settings() const { return m_settings; }

signals:
    void stateChanged(UpdateSession::State state);
    void deviceFound(const DeviceVersions &versions);
    // Each data request answered: the offset asked for (at or past imageSize for END).
    void progress(quint32 offset, qint64 imageSize);
    // Something worth telling the user that is not a result (a serial number that several ports
    // share).
    void notice(const QString &text);
    void finished(const SessionResult &result);
    void ended();

private slots:
    // The timers' slots, also invoked by name by the fuzz target.
    void tick();
    void silenceExpired();
    void waitExpired();
    void tryOpen();

private:
    struct Record
    {
        bool open = false;
        bool heard = false; // a frame passed the identification test
        QDateTime started;
        QElapsedTimer clock;
        std::optional<DeviceVersions> versions;
        std::optional<ImageFacts> image;
        quint32 lastOffset = 0;
        int requests = 0;
        int repeatedRequests = 0;
    };
    // Why the port is not open.
    struct OpenFailure
    {
        enum class Kind
        {
            None,
            NotPresent, // an adapter target that no port present matches
            OpenError,
            Lost,
        };
        Kind kind = Kind::None;
        QString name;
        bool nodeGone = false; // Lost: the port's device node has gone
    };

    void onReadyRead();
    void onLineLost(bool nodeGone);
    void handleFrame(const DeviceFrame &frame);
    void handleAnswerBetweenDevices(quint8 code);
    void sendCommand(quint8 code);
    void probe(); // CMD_PING, counted for the device turnover
    void startVersionQuery();
    void beginUpdate();
    // The guards' verdict on a board that has reported its versions; true when it is updated.
    bool passesGuards(const DeviceVersions &versions);
    void serve(quint32 offset);
    void imageFailed(const QString &what);
    void openRecord();
    void armWait();
    void finish(Outcome outcome, const QString &message);
    void end();
    void setState(State state);
    QString openFailureMessage() const;
    QString retryText() const { return m_settings.retry.pressAgain; }
    QString traceLabel() const { return m_settings.labelTrace ? portName() : QString(); }
    qint64 nowMs() const { return m_clock.elapsed(); }

    SessionSettings m_settings;
    bool m_hasImage = false;
    State m_state = State::WaitingForPort;

    SerialLine m_line;
    QString m_portName;
    std::optional<AdapterDetails> m_adapter;
    FrameParser m_parser;
    OpenFailure m_lastFailure;
    bool m_ambiguityNoticed = false;
    bool m_takesBoards = true;
    bool m_lastMendable = false; // the last result is a failure that a retry can mend

    QTimer m_tickTimer;    // probes and version queries, every ResponseTimeout
    QTimer m_silenceTimer; // the device's silence during an update
    QTimer m_waitTimer;    // --wait for the update's record
    QTimer m_reopenTimer;  // the next attempt to open a port that is not there yet
    QElapsedTimer m_clock;
    DeviceTurnover m_turnover;

    // The update under way.
    ImageSource m_image;
    qint64 m_imageSize = 0;
    ServedPieces m_served; // the four-byte pieces answered so far
    bool m_endServed = false;
    Record m_record;
};
