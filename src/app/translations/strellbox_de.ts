<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>CommandLine</name>
    <message>
        <source>Pulls the media and documents embedded in any file out into files of their own.</source>
        <translation>Holt die in beliebigen Dateien eingebetteten Medien und Dokumente als eigene Dateien heraus.</translation>
    </message>
    <message>
        <source>Save a picture of the window as &lt;file&gt; (PNG) once the scans asked for have ended, then quit.</source>
        <translation>Ein Bild des Fensters als &lt;file&gt; (PNG) sichern, sobald die verlangten Durchsuchungen beendet sind, dann beenden.</translation>
    </message>
    <message>
        <source>Files and folders to scan.</source>
        <translation>Zu durchsuchende Dateien und Ordner.</translation>
    </message>
</context>
<context>
    <name>PassTable</name>
    <message>
        <source>Base64 attachments</source>
        <translation>Base64-Anhängen</translation>
    </message>
    <message>
        <source>Flash movies</source>
        <translation>Flash-Filmen</translation>
    </message>
    <message>
        <source>PNG images</source>
        <translation>PNG-Bildern</translation>
    </message>
    <message>
        <source>GIF images</source>
        <translation>GIF-Bildern</translation>
    </message>
    <message>
        <source>BMP images</source>
        <translation>BMP-Bildern</translation>
    </message>
    <message>
        <source>WAV sounds</source>
        <translation>WAV-Klängen</translation>
    </message>
    <message>
        <source>PDF documents and their images</source>
        <translation>PDF-Dokumenten und ihren Bildern</translation>
    </message>
    <message>
        <source>JPEG images</source>
        <translation>JPEG-Bildern</translation>
    </message>
    <message>
        <source>Plain text</source>
        <translation>reinem Text</translation>
    </message>
    <message>
        <source>HTML documents</source>
        <translation>HTML-Dokumenten</translation>
    </message>
    <message>
        <source>Zip archives and compressed data</source>
        <translation>Zip-Archiven und komprimierten Daten</translation>
    </message>
    <message>
        <source>WebP images</source>
        <translation>WebP-Bildern</translation>
    </message>
    <message>
        <source>TIFF images and camera raw files</source>
        <translation>TIFF-Bildern und Kamera-Rohdateien</translation>
    </message>
    <message>
        <source>MP4, MOV, HEIC, AVIF and other ISO media</source>
        <translation>MP4, MOV, HEIC, AVIF und anderen ISO-Mediendateien</translation>
    </message>
    <message>
        <source>FLAC sounds and their cover art</source>
        <translation>FLAC-Klängen und ihren Titelbildern</translation>
    </message>
    <message>
        <source>MP3 sounds and their cover art</source>
        <translation>MP3-Klängen und ihren Titelbildern</translation>
    </message>
    <message>
        <source>Ogg sounds and videos and their cover art</source>
        <translation>Ogg-Klängen und -Videos und ihren Titelbildern</translation>
    </message>
    <message>
        <source>Matroska and WebM videos and their attachments</source>
        <translation>Matroska- und WebM-Videos und ihren Anhängen</translation>
    </message>
    <message>
        <source>Windows icons and cursors</source>
        <translation>Windows-Symbolen und -Mauszeigern</translation>
    </message>
    <message>
        <source>PSD and PSB layered images</source>
        <translation>PSD- und PSB-Bildern mit Ebenen</translation>
    </message>
    <message>
        <source>SVG drawings</source>
        <translation>SVG-Zeichnungen</translation>
    </message>
    <message>
        <source>Pictures in data: URIs</source>
        <translation>Bildern in data:-URIs</translation>
    </message>
    <message>
        <source>EMF drawings</source>
        <translation>EMF-Zeichnungen</translation>
    </message>
    <message>
        <source>WMF drawings</source>
        <translation>WMF-Zeichnungen</translation>
    </message>
    <message>
        <source>JPEG XL images</source>
        <translation>JPEG-XL-Bildern</translation>
    </message>
</context>
<context>
    <name>Strellbox</name>
    <message>
        <source>Could not make a new folder for the strelled files. Check the preferences</source>
        <translation>Für die gefundenen Dateien konnte kein neuer Ordner angelegt werden. Bitte die Einstellungen prüfen</translation>
    </message>
    <message>
        <source>Could not save a found file. Check for disk space, and where the file is set to be saved in the preferences</source>
        <translation>Eine gefundene Datei konnte nicht gesichert werden. Bitte den freien Speicherplatz prüfen und in den Einstellungen, wo die Dateien gesichert werden</translation>
    </message>
    <message>
        <source>Could not save the report of the job in its output folder. Check for disk space</source>
        <translation>Der Bericht des Auftrags konnte nicht im Ausgabeordner gesichert werden. Bitte den freien Speicherplatz prüfen</translation>
    </message>
</context>
<context>
    <name>UpdateChecker</name>
    <message>
        <source>No information about a new version is available!</source>
        <translation>Es liegen keine Informationen über eine neue Version vor!</translation>
    </message>
    <message>
        <source>You have the newest version!</source>
        <translation>Sie haben die neueste Version!</translation>
    </message>
    <message>
        <source>A new beta version of Strellbox is available</source>
        <translation>Eine neue Betaversion von Strellbox ist verfügbar</translation>
    </message>
    <message>
        <source>A new version of Strellbox is available</source>
        <translation>Eine neue Version von Strellbox ist verfügbar</translation>
    </message>
    <message>
        <source>Go to Downlaod Page</source>
        <translation>Zur Download-Seite</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>No network connection.</source>
        <translation>Keine Netzwerkverbindung.</translation>
    </message>
</context>
<context>
    <name>strellbox::About</name>
    <message>
        <source>Strellbox %1</source>
        <translation>Strellbox %1</translation>
    </message>
    <message>
        <source>Pulls the media and documents embedded in any file out into files of their own.

Licence: %1

Built with %2.</source>
        <translation>Holt die in beliebigen Dateien eingebetteten Medien und Dokumente als eigene Dateien heraus.

Lizenz: %1

Erstellt mit %2.</translation>
    </message>
</context>
<context>
    <name>strellbox::MainWindow</name>
    <message>
        <source>Strellbox</source>
        <translation>Strellbox</translation>
    </message>
    <message>
        <source>Found:</source>
        <translation>Gefunden:</translation>
    </message>
    <message>
        <source>To scan:</source>
        <translation>Noch zu durchsuchen:</translation>
    </message>
    <message>
        <source>Scanning:</source>
        <translation>Durchsuche:</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Stopp</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>Open…</source>
        <translation>Öffnen …</translation>
    </message>
    <message>
        <source>Recent Items</source>
        <translation>Zuletzt verwendet</translation>
    </message>
    <message>
        <source>Browser Caches</source>
        <translation>Browser-Caches</translation>
    </message>
    <message>
        <source>Temporary Items</source>
        <translation>Temporäre Objekte</translation>
    </message>
    <message>
        <source>Preferences…</source>
        <translation>Einstellungen …</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>Check for Updates…</source>
        <translation>Nach Updates suchen …</translation>
    </message>
    <message>
        <source>Strellbox Web Page</source>
        <translation>Strellbox-Webseite</translation>
    </message>
    <message>
        <source>%p%</source>
        <translation>%p %</translation>
    </message>
    <message>
        <source>%1, %2 left</source>
        <translation>%1, noch %2</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Öffnen</translation>
    </message>
    <message>
        <source>Show in Folder</source>
        <translation>Im Ordner zeigen</translation>
    </message>
    <message>
        <source>Open Folder</source>
        <translation>Ordner öffnen</translation>
    </message>
    <message>
        <source>Open the output folder in the file manager</source>
        <translation>Den Ausgabeordner im Dateimanager öffnen</translation>
    </message>
    <message>
        <source>Show the selected file in the file manager</source>
        <translation>Die ausgewählte Datei im Dateimanager zeigen</translation>
    </message>
    <message>
        <source>About Strellbox</source>
        <translation>Über Strellbox</translation>
    </message>
    <message>
        <source>Scanning…</source>
        <translation>Durchsuche …</translation>
    </message>
    <message>
        <source>Saved in %1</source>
        <translation>Gesichert in %1</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>Gestoppt</translation>
    </message>
    <message>
        <source>Nothing found</source>
        <translation>Nichts gefunden</translation>
    </message>
    <message>
        <source>1 item saved to %1</source>
        <translation>1 Objekt gesichert in %1</translation>
    </message>
    <message>
        <source>%1 items saved to %2</source>
        <translation>%1 Objekte gesichert in %2</translation>
    </message>
    <message>
        <source>Strellbox – %1%</source>
        <translation>Strellbox – %1 %</translation>
    </message>
    <message>
        <source>Click a type to list only its items</source>
        <translation>Einen Typ anklicken, um nur seine Objekte aufzulisten</translation>
    </message>
    <message>
        <source>All types</source>
        <translation>Alle Typen</translation>
    </message>
    <message>
        <source>Filter by name or source</source>
        <translation>Nach Name oder Quelle filtern</translation>
    </message>
    <message>
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message>
        <source>without type</source>
        <translation>ohne Typ</translation>
    </message>
    <message numerus="yes">
        <source>%n filtered out</source>
        <translation>
            <numerusform>%n herausgefiltert</numerusform>
            <numerusform>%n herausgefiltert</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>strellbox::PreferencesWindow</name>
    <message>
        <source>Preferences</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>Look for</source>
        <translation>Suchen nach</translation>
    </message>
    <message>
        <source>Updates</source>
        <translation>Updates</translation>
    </message>
    <message>
        <source>Check for a new version</source>
        <translation>Nach einer neuen Version suchen</translation>
    </message>
    <message>
        <source>At every start</source>
        <translation>Bei jedem Start</translation>
    </message>
    <message>
        <source>Once a day</source>
        <translation>Einmal am Tag</translation>
    </message>
    <message>
        <source>Once a week</source>
        <translation>Einmal in der Woche</translation>
    </message>
    <message>
        <source>Once a month</source>
        <translation>Einmal im Monat</translation>
    </message>
    <message>
        <source>Don&apos;t save duplicates</source>
        <translation>Doppelte nicht sichern</translation>
    </message>
    <message>
        <source>Save found files</source>
        <translation>Gefundene Dateien sichern</translation>
    </message>
    <message>
        <source>On the Desktop</source>
        <translation>Auf dem Schreibtisch</translation>
    </message>
    <message>
        <source>Beside the original</source>
        <translation>Neben dem Original</translation>
    </message>
    <message>
        <source>In this folder:</source>
        <translation>In diesem Ordner:</translation>
    </message>
    <message>
        <source>Choose…</source>
        <translation>Auswählen …</translation>
    </message>
    <message>
        <source>Extended detection (modern files)</source>
        <translation>Erweiterte Erkennung (moderne Dateien)</translation>
    </message>
    <message>
        <source>Rules beyond the classic ones, for the files today&apos;s programs write</source>
        <translation>Regeln über die klassischen hinaus, für die Dateien heutiger Programme</translation>
    </message>
    <message>
        <source>Runs with extended detection; untick to leave it out</source>
        <translation>Läuft mit der erweiterten Erkennung; abwählen, um es auszulassen</translation>
    </message>
    <message>
        <source>Open the output folder when a job ends</source>
        <translation>Den Ausgabeordner am Ende eines Auftrags öffnen</translation>
    </message>
    <message>
        <source>Only when the job saved something and was not stopped</source>
        <translation>Nur wenn der Auftrag etwas gesichert hat und nicht gestoppt wurde</translation>
    </message>
    <message>
        <source>Report and filters</source>
        <translation>Bericht und Filter</translation>
    </message>
    <message>
        <source>Write a report of each job (report.xml) into its output folder</source>
        <translation>Einen Bericht jedes Auftrags (report.xml) in seinen Ausgabeordner schreiben</translation>
    </message>
    <message>
        <source>Digital Forensics XML: every item with where it was found and its hash</source>
        <translation>Digital Forensics XML: jedes Objekt mit seinem Fundort und seinem Hashwert</translation>
    </message>
    <message>
        <source>no limit</source>
        <translation>keine Grenze</translation>
    </message>
    <message>
        <source> bytes</source>
        <translation> Bytes</translation>
    </message>
    <message>
        <source> px</source>
        <translation> px</translation>
    </message>
    <message>
        <source>Leave out items smaller than:</source>
        <translation>Objekte auslassen, kleiner als:</translation>
    </message>
    <message>
        <source>Leave out items larger than:</source>
        <translation>Objekte auslassen, größer als:</translation>
    </message>
    <message>
        <source>Leave out pictures smaller than:</source>
        <translation>Bilder auslassen, kleiner als:</translation>
    </message>
</context>
<context>
    <name>strellbox::ResultsModel</name>
    <message>
        <source>Found in %1</source>
        <translation>Gefunden in %1</translation>
    </message>
    <message>
        <source>  ↳ %1 data from offset %2</source>
        <translation>  ↳ %1-Daten ab Position %2</translation>
    </message>
    <message>
        <source>Offset %1, pass %2</source>
        <translation>Position %1, Durchgang %2</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Typ</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Größe</translation>
    </message>
    <message>
        <source>Source</source>
        <translation>Quelle</translation>
    </message>
    <message>
        <source>End known by: %1</source>
        <translation>Ende bekannt durch: %1</translation>
    </message>
</context>
<context>
    <name>strellbox::StrellAppController</name>
    <message>
        <source>Choose</source>
        <translation>Auswählen</translation>
    </message>
    <message>
        <source>Choose Folder</source>
        <translation>Ordner auswählen</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Strellbox</source>
        <translation>Strellbox</translation>
    </message>
    <message>
        <source>Clear Menu</source>
        <translation>Menü leeren</translation>
    </message>
</context>
<context>
    <name>strellbox::StrellImageView</name>
    <message>
        <source>Drop files or folders here</source>
        <translation>Dateien oder Ordner hierher ziehen</translation>
    </message>
</context>
</TS>
