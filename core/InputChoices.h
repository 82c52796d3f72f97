#pragma once

#include "platform/IAudioLibraries.h"

#include <QList>
#include <QObject>
#include <QString>

namespace tw {

class EngineClient;

// What the windows offer to record besides the recording source: the inputs the sound server
// has (numbered as "Recording Source", named by its description) and the programs playing
// now. Asked on the engine's worker; the lists fill in as the answers come.
class InputChoices : public QObject {
    Q_OBJECT
  public:
    explicit InputChoices(EngineClient& engine, QObject* parent = nullptr);

    // One line of a list: "None", an input, or a program.
    struct Item {
        QString label;
        int source = 0;      // one-based input number; 0 for none or a program
        QString program;     // the program's name as the server knows it; "" for none or an input
        QString icon;        // the program's icon name, "" when it gives none
        bool present = true; // a choice kept from before that the server lacks now
    };

    // Asks the server again; answers to an earlier ask that come later are dropped.
    void refresh();
    bool loading() const { return waiting_ > 0; }
    int sourceCount() const { return int(descriptions_.size()); }
    const QList<PlayingProgram>& playing() const { return playing_; }

    // "None" first, then each input by number and name. A chosen input the server lacks now
    // stays in the list, marked, so that opening a window never changes the choice.
    QList<Item> secondInputs(int chosen) const;
    // "None" first (the recording source records), then the programs playing now, by name;
    // a chosen program that plays nothing now stays, marked.
    QList<Item> programs(const QString& chosen) const;
    // Where `chosen` stands in such a list (0, "None", when it is not there).
    static int indexOfSource(const QList<Item>& items, int source);
    static int indexOfProgram(const QList<Item>& items, const QString& program);

  signals:
    void changed();

  private:
    void answered();

    EngineClient& engine_;
    QStringList descriptions_;
    QList<PlayingProgram> playing_;
    int generation_ = 0;
    int waiting_ = 0;
};

} // namespace tw
