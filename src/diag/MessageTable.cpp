// The error description table and the progress dialog's texts in Czech, Slovak and English.
#include "diag/MessageTable.h"

namespace ZEPMaintenance {

namespace {
constexpr MessageTable::Row kUnknownError{L"Neznámá chyba.", L"Neznáma chyba.", L"Unknown error."};
}

MessageTable::MessageTable(std::map<int32_t, Row> rows, Row defaultRow)
    : rows_(std::move(rows)), default_(defaultRow) {}

std::wstring MessageTable::Lookup(int32_t id, int32_t language) const {
    const auto found = rows_.find(id);
    const Row& row = found != rows_.end() ? found->second : default_;
    switch (language < 0 ? Czech : language) {
    case Czech:
        return row.czech;
    case Slovak:
        return row.slovak;
    default:
        return row.english;
    }
}

const MessageTable& ErrorMessageTable() {
    static const MessageTable table(
        {
            {0, {L"Operace proběhla v pořádku.", L"Operácia prebehla v poriadku.", L"No error occured."}},
            {100,
             {L"Neplatná hodnota parametru.", L"Neplatná hodnota parametru.", L"Invalid parameter value."}},
            {101, {L"Požadovaný klíč nebyl nalezen.", L"", L""}},
            {102, {L"Nepodařilo se zkonvertovat hodnotu na požadovaný datový typ.", L"", L""}},
        },
        kUnknownError);
    return table;
}

const MessageTable& GuiTextTable() {
    static const MessageTable table(
        {
            {0, {L"Aktualizace", L"Aktualizácia", L"Update"}},
            {1, {L"Aktualizace aplikace", L"Aktualizácia aplikácie", L"Application update"}},
            {2, {L"Aktualizace se nezdařila", L"Aktualizácia zlyhala", L"Update failed"}},
            {3,
             {L"Odstraňují se původní soubory", L"Odstraňovanie pôvodných súborov", L"Removing old files"}},
            {4, {L"Kopírují se nové soubory", L"Kopírovanie nových súborov", L"Copying new files"}},
            {5,
             {L"Aktualizace úspěšně dokončena", L"Aktualizácia úspešne ukončená",
              L"Update successfully finished"}},
            {6,
             {L"Čekání na ukončení klientské aplikace", L"Čakanie na ukončenie klientskej aplikácie",
              L"Waiting for close of client application"}},
            {7,
             {L"Aktualizace se nezdařila, návrat k původní verzi úspěšně proveden.",
              L"Aktualizácia zlyhala, návrat k pôvodnej verzii úspešne vykonaný.",
              L"Update failed. Rollback to previous version succesfully done."}},
            {8,
             {L"Aktualizace a návrat k původní verzi se nezdařil.",
              L"Aktualizácie a návrat k pôvodnej verzii sa nepodaril.",
              L"Update and rollback to previous version failed."}},
            {9, {L"Detail chyby: ", L"Detail chyby: ", L"Error detail: "}},
            {10,
             {L"Spouští se instalace prerekvizity.", L"Spúšťa sa inštalácia prerekvizity.",
              L"Prerequisite setup is starting."}},
            {11,
             {L"Spouští se po-aktualizační akce.", L"Spúšťa sa po-aktualizačné akcie.",
              L"Post upgrade actions are starting."}},
            {12,
             {L"Spouští se před-aktualizační akce.", L"Spúšťa sa pre-aktualizačné akcie.",
              L"Pre upgrade actions are starting."}},
            {13, {L"Spouští se MSI instalátor.", L"Spúšťa sa MSI inštalátor.", L"Starting MSI installer."}},
        },
        kUnknownError);
    return table;
}

} // namespace ZEPMaintenance
