pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Layouts
import QtQuick.Controls.Fusion
import QtQuick.Templates as T
import Vorn

// The sheet that lists the installed applications, each with its icon, its name and a mark that
// shows whether it is on the block list; a click on a row puts the application on the list or
// takes it off, saved at once. While blocking is on the sheet is locked: a notice says why, the
// rows are dimmed and clicks on them do nothing. "Done" and Escape close it.
Popup {
    id: picker

    // Two-way with the presenter's sheet flag: the presenter sets it to show the sheet, the sheet
    // sets it to false when it closes.
    property bool isPresented: false
    // The installed applications, scanned afresh each time the sheet comes on screen.
    readonly property InstalledAppsModel apps: InstalledAppsModel {
        blockList: BlockList
    }
    readonly property bool locked: AppBlocker.isBlocking

    function toggle(bundleID: string) {
        // Read at the moment of the click: blocking may have begun while the sheet was open.
        if (AppBlocker.isBlocking)
            return
        BlockList.toggle(bundleID)
    }

    parent: T.Overlay.overlay
    anchors.centerIn: parent
    width: Math.max(420, parent ? Math.min(parent.width - 48, 560) : 0)
    height: Math.max(480, parent ? parent.height - 48 : 0)
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape
    padding: 0

    onIsPresentedChanged: isPresented ? open() : close()
    onAboutToShow: {
        apps.scan()
        // A reset of the rows leaves the list without a current row; the keyboard starts at the top.
        list.currentIndex = 0
    }
    onOpened: doneButton.forceActiveFocus()
    onClosed: isPresented = false

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 16

            Label {
                text: qsTr("Choose Apps to Block")
                font: TextStyles.weighted(TextStyles.title3, Font.DemiBold)
                color: Assets.color("TextPrimary", Assets.dark)
                Accessible.role: Accessible.Heading
            }
            Item {
                Layout.fillWidth: true
            }
            Button {
                id: doneButton
                objectName: "doneButton"
                text: qsTr("Done")
                Accessible.name: text
                Keys.onReturnPressed: clicked()
                Keys.onEnterPressed: clicked()
                onClicked: picker.isPresented = false
            }
        }

        Label {
            objectName: "lockNotice"
            visible: picker.locked
            Layout.fillWidth: true
            Layout.preferredWidth: 0
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.bottomMargin: 8
            text: qsTr("Locked while Vorn is active — turn blocking off on your iPhone to change this list.")
            wrapMode: Text.WordWrap
            font: TextStyles.caption
            color: Assets.color("TextSecondary", Assets.dark)
            Accessible.role: Accessible.StaticText
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: picker.palette.mid
        }

        ListView {
            id: list
            objectName: "appList"

            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: picker.apps
            activeFocusOnTab: true
            keyNavigationEnabled: true
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}
            Accessible.role: Accessible.List
            Accessible.name: qsTr("Applications")

            delegate: Item {
                id: row

                required property int index
                required property string bundleID
                required property string name
                required property string iconSource
                required property bool selected

                objectName: "appRow:" + bundleID
                width: ListView.view.width
                implicitHeight: 40
                focus: ListView.isCurrentItem
                opacity: picker.locked ? 0.5 : 1.0

                Accessible.role: Accessible.CheckBox
                Accessible.name: name
                Accessible.checkable: true
                Accessible.checked: selected
                Accessible.onToggleAction: picker.toggle(row.bundleID)
                Accessible.onPressAction: picker.toggle(row.bundleID)

                Keys.onSpacePressed: picker.toggle(row.bundleID)
                Keys.onReturnPressed: picker.toggle(row.bundleID)
                Keys.onEnterPressed: picker.toggle(row.bundleID)
                // Tab walks the rows one by one (scrolling as it goes) before leaving the list.
                Keys.onTabPressed: event => {
                    if (index + 1 < list.count)
                        list.currentIndex = index + 1
                    else
                        event.accepted = false
                }
                Keys.onBacktabPressed: event => {
                    if (index > 0)
                        list.currentIndex = index - 1
                    else
                        event.accepted = false
                }
                onActiveFocusChanged: if (activeFocus) list.positionViewAtIndex(index, ListView.Contain)

                // The whole row takes the click, the empty width between name and mark included.
                MouseArea {
                    anchors.fill: parent
                    onClicked: picker.toggle(row.bundleID)
                }

                Rectangle {
                    anchors.fill: parent
                    anchors.margins: 2
                    radius: 4
                    color: "transparent"
                    border.width: 2
                    border.color: picker.palette.highlight
                    visible: row.activeFocus
                }

                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 16
                    anchors.rightMargin: 16
                    spacing: 8

                    Image {
                        objectName: "icon"
                        Layout.preferredWidth: 28
                        Layout.preferredHeight: 28
                        // Asked for again each time the row is built; no cache.
                        source: row.iconSource
                        sourceSize.width: 28 * Screen.devicePixelRatio
                        sourceSize.height: 28 * Screen.devicePixelRatio
                        cache: false
                        fillMode: Image.Stretch
                        smooth: true
                    }
                    Label {
                        Layout.fillWidth: true
                        // The application's name as found, never translated.
                        text: row.name
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        font: TextStyles.body
                        color: Assets.color("TextPrimary", Assets.dark)
                    }
                    TemplateImage {
                        objectName: "mark"
                        Layout.preferredWidth: 20
                        Layout.preferredHeight: 20
                        source: row.selected ? "qrc:/vorn/symbols/checkmark.circle.fill.svg"
                                             : "qrc:/vorn/symbols/circle.svg"
                        color: row.selected ? Assets.color("AccentColor", Assets.dark)
                                            : Assets.color("TextSecondary", Assets.dark)
                    }
                }
            }
        }
    }
}
