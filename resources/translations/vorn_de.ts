<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>AppPickerView</name>
    <message>
        <source>Choose Apps to Block</source>
        <translation>Apps zum Blockieren auswählen</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>Locked while Vorn is active — turn blocking off on your iPhone to change this list.</source>
        <translation>Gesperrt, solange Vorn aktiv ist — schalte das Blockieren auf deinem iPhone aus, um diese Liste zu ändern.</translation>
    </message>
    <message>
        <source>Applications</source>
        <translation>Programme</translation>
    </message>
</context>
<context>
    <name>VornView</name>
    <message>
        <source>Not blocked — controlled by your iPhone</source>
        <translation>Nicht blockiert — gesteuert von deinem iPhone</translation>
    </message>
    <message>
        <source>Blocked — controlled by your iPhone</source>
        <translation>Blockiert — gesteuert von deinem iPhone</translation>
    </message>
    <message>
        <source>Locked until %1</source>
        <translation>Gesperrt bis %1</translation>
    </message>
    <message>
        <source>Scheduled until %1</source>
        <translation>Laut Zeitplan bis %1</translation>
    </message>
    <message>
        <source>Until %1</source>
        <translation>Bis %1</translation>
    </message>
    <message>
        <source>Vorn</source>
        <translation>Vorn</translation>
    </message>
    <message>
        <source>Blocked Apps</source>
        <translation>Blockierte Apps</translation>
    </message>
    <message>
        <source>Add App…</source>
        <translation>App hinzufügen…</translation>
    </message>
    <message>
        <source>No apps blocked yet. Add apps below — they&apos;ll be closed automatically whenever your iPhone is blocking.</source>
        <translation>Noch keine Apps blockiert. Füge unten Apps hinzu — sie werden automatisch geschlossen, sobald dein iPhone blockiert.</translation>
    </message>
    <message>
        <source>Locked while Vorn is active — turn blocking off on your iPhone to change this list.</source>
        <translation>Gesperrt, solange Vorn aktiv ist — schalte das Blockieren auf deinem iPhone aus, um diese Liste zu ändern.</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation>
    </message>
    <message>
        <source>Remove %1</source>
        <translation>%1 entfernen</translation>
    </message>
    <message>
        <source>Only your paired phone can switch blocking off</source>
        <translation>Nur dein gekoppeltes Telefon kann das Blockieren ausschalten</translation>
    </message>
    <message>
        <source>Pair a Phone…</source>
        <translation>Telefon koppeln…</translation>
    </message>
    <message>
        <source>Pair a Phone</source>
        <translation>Telefon koppeln</translation>
    </message>
    <message>
        <source>No phone has offered its key yet. Open Vorn on your phone first.</source>
        <translation>Noch kein Telefon hat seinen Schlüssel angeboten. Öffne zuerst Vorn auf deinem Telefon.</translation>
    </message>
    <message>
        <source>Pair only a phone that shows the same fingerprint.</source>
        <translation>Kopple nur ein Telefon, das denselben Fingerabdruck zeigt.</translation>
    </message>
    <message>
        <source>Paired</source>
        <translation>Gekoppelt</translation>
    </message>
    <message>
        <source>Pair</source>
        <translation>Koppeln</translation>
    </message>
    <message>
        <source>Pair %1? Only your paired phones will be able to switch blocking off.</source>
        <translation>%1 koppeln? Nur deine gekoppelten Telefone können dann das Blockieren ausschalten.</translation>
    </message>
    <message>
        <source>Pair %1</source>
        <translation>%1 koppeln</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
</context>
</TS>
