#include "core/InputChoices.h"

#include "core/EngineClient.h"

namespace tw {

InputChoices::InputChoices(EngineClient& engine, QObject* parent)
    : QObject(parent), engine_(engine) {}

void InputChoices::refresh() {
    const int generation = ++generation_;
    waiting_ = 2;
    engine_.call(EngineMode::CountSources, this, [this, generation](int32_t count) {
        if (generation != generation_)
            return;
        descriptions_ = QStringList(qMax(count, 0), QString());
        waiting_ += int(descriptions_.size());
        for (int number = 0; number < descriptions_.size(); ++number)
            engine_.sourceDescription(number, this, [this, generation, number](QString text) {
                if (generation != generation_)
                    return;
                if (number < descriptions_.size())
                    descriptions_[number] = text;
                answered();
            });
        answered();
    });
    engine_.applications(this, [this, generation](const QList<PlayingProgram>& programs, bool) {
        if (generation != generation_)
            return;
        playing_ = programs;
        answered();
    });
    emit changed();
}

void InputChoices::answered() {
    waiting_ = qMax(waiting_ - 1, 0);
    emit changed();
}

QList<InputChoices::Item> InputChoices::secondInputs(int chosen) const {
    QList<Item> items{{QStringLiteral("None"), 0, {}, {}, true}};
    for (int number = 1; number <= descriptions_.size(); ++number) {
        const QString& name = descriptions_.at(number - 1);
        items.append({name.isEmpty() ? QStringLiteral("Input %1").arg(number)
                                     : QStringLiteral("%1: %2").arg(number).arg(name),
                      number,
                      {},
                      {},
                      true});
    }
    if (chosen > descriptions_.size())
        items.append(
            {QStringLiteral("Input %1 (not present now)").arg(chosen), chosen, {}, {}, false});
    return items;
}

QList<InputChoices::Item> InputChoices::programs(const QString& chosen) const {
    QList<Item> items{{QStringLiteral("None"), 0, {}, {}, true}};
    bool listed = chosen.isEmpty();
    for (const PlayingProgram& program : playing_) {
        items.append({program.name, 0, program.name, program.icon, true});
        listed = listed || program.name == chosen;
    }
    if (!listed)
        items.append({QStringLiteral("%1 (not playing now)").arg(chosen), 0, chosen, {}, false});
    return items;
}

int InputChoices::indexOfSource(const QList<Item>& items, int source) {
    for (int i = 0; i < items.size(); ++i)
        if (items.at(i).source == source && items.at(i).program.isEmpty())
            return i;
    return 0;
}

int InputChoices::indexOfProgram(const QList<Item>& items, const QString& program) {
    for (int i = 0; i < items.size(); ++i)
        if (items.at(i).program == program && items.at(i).source == 0)
            return i;
    return 0;
}

} // namespace tw
