#pragma once

#include "platform/IChildProcess.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace tw {

class IMessageBox;

// Runs one console program, hands each piece of its joined output and error to the owner
// as soon as it has been read (ReceiveOutputs), and gathers the whole output. A run is
// synchronous: ExecuteCommand returns once the pipe has closed. Failures are reported only
// through the message box and an empty result.
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

    // Called while the child is quiet, so that the window keeps repainting between pieces
    // of output. Without a hook the run simply blocks in the read.
    void setYieldHook(std::function<void()> hook) { yield_ = std::move(hook); }

    // How the last run's program ended (NotRun when it could not be started). A run does not
    // wait for its child once the output has ended; this does, for at most five seconds,
    // and a child still running then is reported so and left to end on its own.
    ChildExit lastExit();

  signals:
    // One chunk per read, in order, before the next read. The last one of a run is the
    // empty string: the output has ended.
    void ReceiveOutputs(const QString& CommandOutputs);

  private:
    QString run(const QStringList& arguments);
    void forgetLastRun();

    IMessageBox& messageBox_;
    ChildProcessFactory makeProcess_;
    std::function<void()> yield_;
    QString commandLine_;
    QString outputs_;
    // The last run's child while its exit has not been collected yet.
    std::unique_ptr<IChildProcess> last_;
    ChildExit lastExit_;
};

} // namespace tw
