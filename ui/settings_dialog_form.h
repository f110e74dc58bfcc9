// The settings sheet's widget tree, written by hand in the shape of a
// generated form. The update controls are added by the dialog itself.
#pragma once

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

namespace Ui {

class SettingsDialog
{
public:
    QWidget *verticalLayoutWidget = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QComboBox *pairingDeviceCombo = nullptr;
    QLineEdit *pairingCodeEdit = nullptr;
    QPushButton *pairButton = nullptr;
    QComboBox *pairedDeviceCombo = nullptr;
    QPushButton *unpairButton = nullptr;
    QLabel *label = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QPushButton *chooseFolderButton = nullptr;
    QLineEdit *receiveFolderEdit = nullptr;
    QLabel *backgroundLabel = nullptr;
    QHBoxLayout *backgroundLayout = nullptr;
    QPushButton *chooseBackgroundButton = nullptr;
    QLineEdit *backgroundPathEdit = nullptr;
    QListWidget *historyList = nullptr;

    void setupUi(QDialog *dialog)
    {
        if (dialog->objectName().isEmpty())
            dialog->setObjectName("SettingsDialog");
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->resize(420, 350);
        dialog->setMinimumSize(QSize(420, 350));
        dialog->setMaximumSize(QSize(420, 350));
        QFont font;
        font.setFamilies({QStringLiteral("DejaVu Sans Mono")});
        dialog->setFont(font);
        dialog->setWindowOpacity(0.9);
        dialog->setModal(true);

        verticalLayoutWidget = new QWidget(dialog);
        verticalLayoutWidget->setObjectName("verticalLayoutWidget");
        verticalLayoutWidget->setGeometry(QRect(0, 0, 420, 350));
        verticalLayout = new QVBoxLayout(verticalLayoutWidget);
        verticalLayout->setObjectName("verticalLayout");
        verticalLayout->setContentsMargins(10, 10, 10, 10);
        verticalLayout->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));

        pairingDeviceCombo = new QComboBox(verticalLayoutWidget);
        pairingDeviceCombo->setObjectName("pairingDeviceCombo");
        verticalLayout->addWidget(pairingDeviceCombo);

        pairingCodeEdit = new QLineEdit(verticalLayoutWidget);
        pairingCodeEdit->setObjectName("pairingCodeEdit");
        verticalLayout->addWidget(pairingCodeEdit);

        pairButton = new QPushButton(verticalLayoutWidget);
        pairButton->setObjectName("pairButton");
        verticalLayout->addWidget(pairButton);

        pairedDeviceCombo = new QComboBox(verticalLayoutWidget);
        pairedDeviceCombo->setObjectName("pairedDeviceCombo");
        verticalLayout->addWidget(pairedDeviceCombo);

        unpairButton = new QPushButton(verticalLayoutWidget);
        unpairButton->setObjectName("unpairButton");
        verticalLayout->addWidget(unpairButton);

        label = new QLabel(verticalLayoutWidget);
        label->setObjectName("label");
        verticalLayout->addWidget(label);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setObjectName("horizontalLayout");
        chooseFolderButton = new QPushButton(verticalLayoutWidget);
        chooseFolderButton->setObjectName("chooseFolderButton");
        chooseFolderButton->setMinimumSize(QSize(30, 20));
        chooseFolderButton->setMaximumSize(QSize(30, 20));
        horizontalLayout->addWidget(chooseFolderButton);
        receiveFolderEdit = new QLineEdit(verticalLayoutWidget);
        receiveFolderEdit->setObjectName("receiveFolderEdit");
        receiveFolderEdit->setMinimumHeight(20);
        receiveFolderEdit->setMaximumHeight(20);
        receiveFolderEdit->setReadOnly(true);
        horizontalLayout->addWidget(receiveFolderEdit);
        verticalLayout->addLayout(horizontalLayout);

        backgroundLabel = new QLabel(verticalLayoutWidget);
        backgroundLabel->setObjectName("backgroundLabel");
        verticalLayout->addWidget(backgroundLabel);

        backgroundLayout = new QHBoxLayout();
        backgroundLayout->setObjectName("backgroundLayout");
        chooseBackgroundButton = new QPushButton(verticalLayoutWidget);
        chooseBackgroundButton->setObjectName("chooseBackgroundButton");
        chooseBackgroundButton->setMinimumSize(QSize(30, 20));
        chooseBackgroundButton->setMaximumSize(QSize(30, 20));
        backgroundLayout->addWidget(chooseBackgroundButton);
        backgroundPathEdit = new QLineEdit(verticalLayoutWidget);
        backgroundPathEdit->setObjectName("backgroundPathEdit");
        backgroundPathEdit->setMinimumHeight(20);
        backgroundPathEdit->setMaximumHeight(20);
        backgroundPathEdit->setReadOnly(true);
        backgroundLayout->addWidget(backgroundPathEdit);
        verticalLayout->addLayout(backgroundLayout);

        historyList = new QListWidget(verticalLayoutWidget);
        historyList->setObjectName("historyList");
        verticalLayout->addWidget(historyList);

        retranslateUi(dialog);
        QMetaObject::connectSlotsByName(dialog);
    }

    void retranslateUi(QDialog *dialog)
    {
        dialog->setWindowTitle(QCoreApplication::translate("SettingsDialog", "Dialog"));
        pairingCodeEdit->setPlaceholderText(QCoreApplication::translate("SettingsDialog", "Pairing-Code"));
        pairButton->setText(QCoreApplication::translate("SettingsDialog", "Pairen"));
        unpairButton->setText(QCoreApplication::translate("SettingsDialog", "Entkoppeln"));
        label->setText(QCoreApplication::translate("SettingsDialog", "Speicherort"));
        chooseFolderButton->setText(QCoreApplication::translate("SettingsDialog", "..."));
        backgroundLabel->setText(QCoreApplication::translate("SettingsDialog", "Hintergrundbild"));
        chooseBackgroundButton->setText(QCoreApplication::translate("SettingsDialog", "..."));
        backgroundPathEdit->setPlaceholderText(QCoreApplication::translate("SettingsDialog", "Standard"));
    }
};

} // namespace Ui
