#pragma once

#include "platform/IChildProcess.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>

namespace tw {

class IMessageBox;

// Runs one console program, hands each piece of its joined output and error to the owner
// as soon as it has been read (ReceiveOutputs), and gathers the whole output. ExecuteCommand
// runs synchronously and returns once the pipe has closed; StartArguments returns at once and
// the event loop reads the pipe whenever it has something, so that nothing waits or yields.
// Failures are reported only through the message box and an empty result.
class DOSOutputs : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Commandline READ Commandline WRITE setCommandline)
    Q_PROPERTY(QString Outputs READ Outputs)

  public:
    explicit DOSOutputs(IMessageBox& messageBox, QObject* parent = nullptr);
    DOSOutputs(IMessageBox& messageBox, ChildProcessFactory makeProcess, QObject* parent = nullptr);
    ~DOSOutputs() override;

    void setCommandline(const QString& commandLine) { commandLine_ = commandLine; }
    QString Commandline() const { return commandLine_; }
    QString Outputs() const { return outputs_; }

    // A non-empty argument replaces the stored command line first. Returns this run's
    // gathered output, or the empty string when the program could not be started.
    QString ExecuteCommand(const QString& commandLine = QString());
    // The same with the program and its arguments given one by one; no word is split.
    QString ExecuteArguments(const QStringList& arguments);

    // Starts the program and returns at once: false, after the message box has said why,
    // when it could not be started (no event follows). Its output then comes through
    // ReceiveOutputs as the pipe delivers it, and RunEnded follows the final empty chunk once
    // the child's exit is known (or after five seconds of a child that outlives its output).
    bool StartArguments(const QStringList& arguments);
    // An asynchronous run has started and not yet ended.
    bool running() const { return watch_ != nullptr || exitWait_ != nullptr; }
    // Asks the running program to end; its output and RunEnded come as for any end.
    void Cancel();
    // What an absent program means to the user, added to "File or command not found".
    void setMissingProgramHint(const QString& hint) { missingHint_ = hint; }

    // How the last run's program ended (NotRun when it could not be started). A synchronous
    // run does not wait for its child once the output has ended; this does, for at most five
    // seconds, and a child still running then is reported so and left to end on its own.
    ChildExit lastExit();

  signals:
    // One chunk per read, in order, before the next read. The last one of a run is the
    // empty string: the output has ended.
    void ReceiveOutputs(const QString& CommandOutputs);
    // An asynchronous run is over: its output has ended and lastExit() answers at once.
    void RunEnded();

  private:
    class Decoder;
    // Checks the arguments and starts the child; null (the message box has said why) if not.
    std::unique_ptr<IChildProcess> launch(const QStringList& arguments);
    QString runToEnd(const QStringList& arguments);
    // One read and its chunks; false once the output has ended or this object is gone.
    bool readOnce(IChildProcess& child, Decoder& decoder);
    void readable();
    void pollExit();
    void forgetLastRun();

    IMessageBox& messageBox_;
    ChildProcessFactory makeProcess_;
    QString commandLine_;
    QString outputs_;
    QString missingHint_;
    // The last run's child while its exit has not been collected yet.
    std::unique_ptr<IChildProcess> last_;
    ChildExit lastExit_;
    // The asynchronous run: the pipe's watch while output comes, then the wait for the exit.
    std::unique_ptr<Decoder> decoder_;
    QSocketNotifier* watch_ = nullptr;
    QTimer* exitWait_ = nullptr;
    int exitPolls_ = 0;
};

} // namespace tw
