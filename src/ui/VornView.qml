pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import Vorn

// The content of Vorn's window: whether blocking is on (decided on the phone), the product mark,
// and the block list with a "Remove" button per identifier and "Add App…", which opens the picker.
// While blocking is on the list is locked. The whole look follows AppBlocker.isBlocking through one
// critically damped spring; changes of the list itself are not animated.
Rectangle {
    id: root

    // True while the picker sheet is shown; only "Add App…" sets it, only the sheet clears it.
    property bool showAppPicker: false
    readonly property color notBlockingTint: Qt.rgba(26 / 255, 205 / 255, 129 / 255, 1)
    readonly property color blockingTint: Qt.rgba(248 / 255, 90 / 255, 59 / 255, 1)
    // The smallest size of the content; the window takes it as its own minimum.
    readonly property int minimumWidth: 420
    readonly property int minimumHeight: 480

    readonly property bool blocking: AppBlocker.isBlocking
    // 0 is the not-blocking look, 1 the blocking look; in between while the spring moves.
    readonly property real look: spring.value

    implicitWidth: Math.max(minimumWidth, content.implicitWidth)
    implicitHeight: Math.max(minimumHeight, content.implicitHeight)
    // The content is not scrollable: a list longer than the window is cut off at its bottom.
    clip: true
    color: Assets.mix(Assets.color("NonBlockingBackground", Assets.dark),
                      Assets.color("BlockingBackground", Assets.dark), look)

    CriticallyDampedSpring {
        id: spring
        response: 0.5
        target: root.blocking ? 1 : 0
    }

    SystemPalette {
        id: enabledPalette
        colorGroup: SystemPalette.Active
    }
    SystemPalette {
        id: disabledPalette
        colorGroup: SystemPalette.Disabled
    }

    // Two texts in one place: `notBlockingText` in the not-blocking look, `blockingText` in the
    // blocking look, cross-faded (and the height blended) as `look` moves. An empty text stands for
    // no text.
    component LookText: Item {
        id: lookText

        property string notBlockingText
        property string blockingText
        property bool blocking
        property real look
        property font font
        property color color
        property int horizontalAlignment: Text.AlignLeft
        // The text of the state the view is in, whichever is still fading out.
        readonly property string text: blocking ? blockingText : notBlockingText

        implicitWidth: Math.max(notBlockingLabel.implicitWidth, blockingLabel.implicitWidth)
        implicitHeight: (notBlockingText ? notBlockingLabel.implicitHeight : 0) * (1 - look)
                        + (blockingText ? blockingLabel.implicitHeight : 0) * look
        visible: text !== "" || (notBlockingText !== "" && look < 1) || (blockingText !== "" && look > 0)
        Accessible.role: Accessible.StaticText
        Accessible.name: text

        Text {
            id: notBlockingLabel
            width: lookText.width
            text: lookText.notBlockingText
            opacity: 1 - lookText.look
            visible: opacity > 0
            font: lookText.font
            color: lookText.color
            horizontalAlignment: lookText.horizontalAlignment
            wrapMode: Text.WordWrap
            Accessible.ignored: true
        }
        Text {
            id: blockingLabel
            width: lookText.width
            text: lookText.blockingText
            opacity: lookText.look
            visible: opacity > 0
            font: lookText.font
            color: lookText.color
            horizontalAlignment: lookText.horizontalAlignment
            wrapMode: Text.WordWrap
            Accessible.ignored: true
        }
    }

    // A button of the list, disabled while blocking. It is disabled at once, so no click gets
    // through; its look (the label's colour) moves with the spring like the rest of the window.
    component ListButton: Button {
        id: listButton

        property real look
        property color enabledLabel
        property color disabledLabel
        readonly property color labelColor: Assets.mix(enabledLabel, disabledLabel, look)

        palette.buttonText: labelColor
        palette.disabled.buttonText: labelColor
        // Enter activates a focused button too, as Space does.
        Keys.onReturnPressed: clicked()
        Keys.onEnterPressed: clicked()
    }

    ColumnLayout {
        id: content

        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        spacing: 24

        ColumnLayout {
            id: header

            Layout.fillWidth: true
            Layout.topMargin: 32
            spacing: 8

            LookText {
                id: statusLine
                objectName: "statusLine"
                Layout.fillWidth: true
                notBlockingText: qsTr("Not blocked — controlled by your iPhone")
                blockingText: qsTr("Blocked — controlled by your iPhone")
                blocking: root.blocking
                look: root.look
                horizontalAlignment: Text.AlignHCenter
                font: TextStyles.subheadline
                color: Assets.color("TextSecondary", Assets.dark)
            }

            // A session's end, while blocking; the time alone within a day, else with its date.
            Text {
                id: sessionLine
                objectName: "sessionLine"

                // A lock may end before the session (a lock lasts 24 hours at most).
                readonly property date until: AppBlocker.sessionLocked ? AppBlocker.sessionLockedUntil
                                                                       : AppBlocker.sessionUntil
                readonly property bool known: root.blocking && !isNaN(until.getTime())
                readonly property string time: Qt.formatDateTime(
                        until, until.getTime() - Date.now() < 86400000 ? "HH:mm" : "yyyy-MM-dd HH:mm")

                Layout.fillWidth: true
                visible: known
                text: !known ? ""
                      : AppBlocker.sessionLocked ? qsTr("Locked until %1").arg(time)
                      : AppBlocker.sessionScheduled ? qsTr("Scheduled until %1").arg(time)
                      : qsTr("Until %1").arg(time)
                horizontalAlignment: Text.AlignHCenter
                font: TextStyles.caption
                color: Assets.color("TextSecondary", Assets.dark)
            }

            Text {
                objectName: "phoneOnlyLine"
                Layout.fillWidth: true
                visible: AppBlocker.phoneOnly
                text: qsTr("Only your paired phone can switch blocking off")
                horizontalAlignment: Text.AlignHCenter
                font: TextStyles.caption
                color: Assets.color("TextSecondary", Assets.dark)
            }

            Item {
                Layout.fillWidth: true
                implicitHeight: mark.height

                // Fits a height of 140; the width follows from the picture's aspect ratio.
                TemplateImage {
                    id: mark
                    objectName: "mark"
                    anchors.horizontalCenter: parent.horizontalCenter
                    height: 140
                    width: height * aspectRatio
                    source: Assets.image("VornMark")
                    color: Assets.mix(root.notBlockingTint, root.blockingTint, root.look)
                    Accessible.role: Accessible.Graphic
                    Accessible.name: qsTr("Vorn")
                }
            }
        }

        Rectangle {
            objectName: "divider"
            Layout.fillWidth: true
            implicitHeight: 1
            color: enabledPalette.mid
        }

        ColumnLayout {
            id: section

            Layout.fillWidth: true
            Layout.leftMargin: 32
            Layout.rightMargin: 32
            spacing: 12

            RowLayout {
                Layout.fillWidth: true

                Label {
                    text: qsTr("Blocked Apps")
                    font: TextStyles.weighted(TextStyles.title3, Font.DemiBold)
                    color: Assets.color("TextPrimary", Assets.dark)
                    Accessible.role: Accessible.Heading
                }
                Item {
                    Layout.fillWidth: true
                }
                ListButton {
                    id: addButton
                    objectName: "addButton"
                    text: qsTr("Add App…")
                    Accessible.name: text
                    enabled: !root.blocking
                    look: root.look
                    enabledLabel: enabledPalette.buttonText
                    disabledLabel: disabledPalette.buttonText
                    onClicked: root.showAppPicker = true
                }
            }

            LookText {
                id: notice
                objectName: "notice"
                Layout.fillWidth: true
                // Wraps to the section's width instead of widening the window.
                Layout.preferredWidth: 0
                notBlockingText: BlockList.sortedBundleIDs.length === 0
                         ? qsTr("No apps blocked yet. Add apps below — they'll be closed automatically whenever your iPhone is blocking.")
                         : ""
                blockingText: qsTr("Locked while Vorn is active — turn blocking off on your iPhone to change this list.")
                blocking: root.blocking
                look: root.look
                font: TextStyles.caption
                color: Assets.color("TextSecondary", Assets.dark)
            }

            Repeater {
                id: rows
                objectName: "rows"
                model: BlockList.sortedBundleIDs

                delegate: RowLayout {
                    id: row

                    required property string modelData

                    objectName: "row:" + modelData
                    Layout.fillWidth: true

                    Label {
                        objectName: "rowLabel"
                        Layout.fillWidth: true
                        // The identifier itself, never translated or replaced by a name.
                        text: row.modelData
                        textFormat: Text.PlainText
                        wrapMode: Text.WrapAnywhere
                        font: TextStyles.body
                        color: Assets.color("TextPrimary", Assets.dark)
                    }
                    ListButton {
                        objectName: "removeButton"
                        text: qsTr("Remove")
                        enabled: !root.blocking
                        look: root.look
                    enabledLabel: enabledPalette.buttonText
                    disabledLabel: disabledPalette.buttonText
                        Accessible.name: qsTr("Remove %1").arg(row.modelData)
                        onClicked: {
                            BlockList.remove(row.modelData)
                            BlockList.save()
                        }
                    }
                }
            }

            ListButton {
                Layout.alignment: Qt.AlignRight
                objectName: "pairButton"
                text: qsTr("Pair a Phone…")
                Accessible.name: text
                enabled: !root.blocking
                look: root.look
                enabledLabel: enabledPalette.buttonText
                disabledLabel: disabledPalette.buttonText
                onClicked: {
                    pairings.refresh()
                    pairingSheet.candidate = ""
                    pairingSheet.answer = ""
                    pairingSheet.open()
                }
            }
        }
    }

    // The sheet, bound both ways to showAppPicker: "Add App…" presents it, and its own closing
    // ("Done", Escape) clears the flag.
    onShowAppPickerChanged: picker.isPresented = showAppPicker
    AppPickerView {
        id: picker
        objectName: "picker"
        onIsPresentedChanged: root.showAppPicker = isPresented
    }

    PairingModel {
        id: pairings
    }

    // "Pair a Phone…": the offers and the paired phones with their fingerprints; a phone is paired
    // after a second click that confirms the fingerprint, and the recovery code is shown once.
    // Blocking closes it: pairing is locked while blocking, as the list is.
    Popup {
        id: pairingSheet
        objectName: "pairingSheet"

        property string candidate
        property string candidateName
        property string answer

        parent: root
        anchors.centerIn: parent
        width: root.width - 48
        modal: true
        onOpened: pairings.refresh()
        Connections {
            target: root
            function onBlockingChanged() {
                if (root.blocking)
                    pairingSheet.close()
            }
        }

        ColumnLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            spacing: 10

            Label {
                text: qsTr("Pair a Phone")
                font: TextStyles.weighted(TextStyles.title3, Font.DemiBold)
                Accessible.role: Accessible.Heading
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                font: TextStyles.caption
                text: offerRows.count === 0
                      ? qsTr("No phone has offered its key yet. Open Vorn on your phone first.")
                      : qsTr("Pair only a phone that shows the same fingerprint.")
            }
            Repeater {
                id: offerRows
                model: pairings
                delegate: RowLayout {
                    id: offer

                    required property string fingerprint
                    required property string name
                    required property bool paired

                    objectName: "offer:" + fingerprint
                    Layout.fillWidth: true
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 0
                        Label {
                            text: offer.name
                            textFormat: Text.PlainText
                            font: TextStyles.body
                        }
                        Label {
                            text: offer.fingerprint
                            font.family: "monospace"
                        }
                    }
                    Button {
                        objectName: "pairOffer"
                        text: offer.paired ? qsTr("Paired") : qsTr("Pair")
                        enabled: !offer.paired && !root.blocking
                        onClicked: {
                            pairingSheet.candidate = offer.fingerprint
                            pairingSheet.candidateName = offer.name
                            pairingSheet.answer = ""
                        }
                    }
                }
            }
            Label {
                Layout.fillWidth: true
                visible: pairingSheet.candidate !== "" && pairingSheet.answer === ""
                wrapMode: Text.WordWrap
                textFormat: Text.PlainText
                text: qsTr("Pair %1? Only your paired phones will be able to switch blocking off.")
                        .arg(pairingSheet.candidateName)
            }
            Button {
                objectName: "confirmPairing"
                visible: pairingSheet.candidate !== "" && pairingSheet.answer === ""
                enabled: !root.blocking
                text: qsTr("Pair %1").arg(pairingSheet.candidate)
                onClicked: pairingSheet.answer = pairings.pair(pairingSheet.candidate)
            }
            TextEdit {
                objectName: "pairingAnswer"
                Layout.fillWidth: true
                visible: pairingSheet.answer !== ""
                readOnly: true
                selectByMouse: true
                wrapMode: Text.WordWrap
                textFormat: Text.PlainText
                text: pairingSheet.answer
                color: enabledPalette.text
            }
            Button {
                Layout.alignment: Qt.AlignRight
                text: qsTr("Close")
                onClicked: pairingSheet.close()
            }
        }
    }
}
