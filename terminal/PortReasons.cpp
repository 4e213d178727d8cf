// Texts in the program's 8-bit code page (Windows-1252).

#include "PortReasons.h"

#include <cerrno>

namespace terminal {

namespace {

const char* const kDash = " \x96 ";

std::string ParityName(win::BYTE parity)
{
    static const char* const names[] = {"None", "Odd", "Even", "Mark", "Space"};
    return parity < 5 ? names[parity] : std::to_string(parity);
}

std::string StopBitsName(win::BYTE stopBits)
{
    static const char* const names[] = {"1", "1,5", "2"};
    return stopBits < 3 ? names[stopBits] : std::to_string(stopBits);
}

std::string Server(const commreasons::OpenFailure& failure)
{
    return "Server " + failure.path;
}

} // namespace

std::string OpenFailureText(const commreasons::OpenFailure& f)
{
    using commreasons::OpenProblem;
    const std::string check = "pr\xfc" "fen";
    switch (f.problem) {
    case OpenProblem::None: return {};
    case OpenProblem::NoSuchPort:
        return "kein Ger\xe4t unter diesem Namen" + std::string(kDash) + "Port aus der Liste w\xe4hlen";
    case OpenProblem::Missing:
        return "Ger\xe4t " + f.path + " nicht vorhanden" + kDash + "Adapter eingesteckt, Programm f\xfcr den Port gestartet?";
    case OpenProblem::NoUart:
        return f.path + " hat keinen Baustein dahinter" + kDash + "anderen Port w\xe4hlen";
    case OpenProblem::NotSerial:
        return f.path + " ist keine serielle Schnittstelle" + kDash + "Ger\xe4tepfad " + check;
    case OpenProblem::Permission:
        if (!f.group.empty() && !f.inGroup)
            return "Zugriff verweigert" + std::string(kDash) + "Benutzer nicht in der Gruppe " + f.group;
        return "Zugriff verweigert" + std::string(kDash) + "Rechte auf " + f.path + " " + check;
    case OpenProblem::Busy:
        if (f.holderPid > 0)
            return "belegt von Prozess " + std::to_string(f.holderPid) + " (" + f.holderName + ")";
        return "belegt von einem anderen Programm";
    case OpenProblem::BadAddress:
        return "keine g\xfcltige Adresse: " + f.name + kDash + "rfc2217://Rechner:Port angeben";
    case OpenProblem::NameUnknown:
        return "Rechnername in " + f.path + " unbekannt" + kDash + "Namen " + check;
    case OpenProblem::ServerUnreachable:
        if (f.error == ECONNREFUSED)
            return Server(f) + " nimmt keine Verbindung an" + kDash + "Adresse und Port " + check;
        return Server(f) + " nicht erreichbar" + kDash + "Netz und Adresse " + check;
    case OpenProblem::ServerBusy:
        return Server(f) + " weist die Verbindung ab" + kDash + "Port dort von einem anderen Programm belegt";
    case OpenProblem::NotComPortServer: return Server(f) + " antwortet nicht als RFC-2217-Server";
    case OpenProblem::Other: break;
    }
    return "\xd6" "ffnen fehlgeschlagen (Fehler " + std::to_string(f.error) + ": " + win::FormatMessage(f.error) + ")";
}

std::string RefusedSettingText(const commreasons::RefusedSetting& r)
{
    using commreasons::Setting;
    const std::string refused = "Einstellung nicht unterst\xfctzt" + std::string(kDash);
    const win::DCB& d = r.asked;
    switch (r.setting) {
    case Setting::None: return {};
    case Setting::Rate:
        return refused + "Baudrate " + std::to_string(d.BaudRate) +
               (r.grantedRate && r.grantedRate != d.BaudRate ? " (Ger\xe4t: " + std::to_string(r.grantedRate) + ")"
                                                             : std::string());
    case Setting::DataBits: return refused + "Datenbits " + std::to_string(d.ByteSize);
    case Setting::Parity: return refused + "Parit\xe4t " + ParityName(d.Parity);
    case Setting::StopBits: return refused + "Stoppbits " + StopBitsName(d.StopBits);
    case Setting::StopBitsForSize:
        return refused + "Stoppbits " + StopBitsName(d.StopBits) + " mit Datenbits " + std::to_string(d.ByteSize);
    case Setting::CtsFlow: return refused + "Flusssteuerung RTS/CTS";
    case Setting::DsrFlow: return refused + "Flusssteuerung DTR/DSR";
    case Setting::DtrHandshake: return refused + "DTR-Handshake";
    case Setting::XonXoff: return refused + "Flusssteuerung Xon/Xoff";
    case Setting::XonXoffChars: return refused + "gleiches Xon- und Xoff-Zeichen";
    case Setting::ParityCheck: return refused + "Parit\xe4tspr\xfc" "fung";
    case Setting::NonBinary: return refused + "Textmodus";
    case Setting::Server: return "Server lehnt Einstellung ab: " + r.serverText;
    case Setting::Other: break;
    }
    return "Einstellung nicht unterst\xfctzt";
}

} // namespace terminal
