// The main window's widget tree, written by hand in the shape of a generated
// form: setupUi builds it on the window, retranslateUi sets the texts.
#pragma once

#include "protocol.h"

#include "drop_area_widget.h"

#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

namespace Ui {

class MainWindow
{
public:
    QWidget *centralwidget = nullptr;
    QVBoxLayout *mainLayout = nullptr;
    QHBoxLayout *horizontalLayout_2 = nullptr;
    QLabel *label = nullptr;
    QFrame *titleBar = nullptr;
    QWidget *horizontalLayoutWidget = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QPushButton *minimierenButton = nullptr;
    QPushButton *settingsButtton = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *sectionLabel = nullptr;
    QListWidget *deviceList = nullptr;
    QHBoxLayout *horizontalLayout_4 = nullptr;
    QPushButton *sendFileButton = nullptr;
    DropAreaWidget *dropArea = nullptr;
    QLabel *label_2 = nullptr;
    QProgressBar *transferProgress = nullptr;
    QLabel *transferSizeLabel = nullptr;
    QLabel *logoLabel = nullptr;

    static QFont monoFont(int pointSize = -1)
    {
        QFont font;
        font.setFamilies({QStringLiteral("DejaVu Sans Mono")});
        if (pointSize > 0)
            font.setPointSize(pointSize);
        font.setBold(true);
        font.setItalic(false);
        return font;
    }

    static QFont titleButtonFont(int pointSize)
    {
        QFont font;
        font.setFamilies({QStringLiteral("Bahnschrift SemiBold Condensed")});
        font.setPointSize(pointSize);
        font.setBold(true);
        font.setItalic(false);
        return font;
    }

    static void fixSize(QWidget *w, int width, int height)
    {
        w->setMinimumSize(QSize(width, height));
        w->setMaximumSize(QSize(width, height));
    }

    void setupUi(QMainWindow *window)
    {
        if (window->objectName().isEmpty())
            window->setObjectName("MainWindow");
        window->resize(420, 420);
        fixSize(window, 420, 420);
        QFont windowFont;
        windowFont.setFamilies({QStringLiteral("DejaVu Sans Mono")});
        windowFont.setBold(true);
        window->setFont(windowFont);
        window->setWindowOpacity(0.92);

        centralwidget = new QWidget(window);
        centralwidget->setObjectName("centralwidget");
        centralwidget->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
        centralwidget->setMaximumSize(QSize(420, 420));
        centralwidget->setFont(monoFont());
        centralwidget->setStyleSheet(QString::fromUtf8(
            "QWidget {\n"
            "    background: transparent;\n"
            "    color: white;\n"
            "    font: 700 \"DejaVu Sans Mono\";\n"
            "}\n"
            "QLabel#titleLabel {\n"
            "    font-size: 26px;\n"
            "    font-weight: 700;\n"
            "}\n"
            "QLabel#statusLabel {\n"
            "    color: #4fdc82;\n"
            "    font: 700 9pt \"DejaVu Sans Mono\";\n"
            "}\n"
            "QLabel#messageLabel,\n"
            "QLabel#logLabel {\n"
            "    color: #b4becd;\n"
            "    font-size: 15px;\n"
            "    font-weight: 600;\n"
            "}\n"
            "QListWidget {\n"
            "    background-color: #1e232c;\n"
            "    border: none;\n"
            "    border-radius: 5px;\n"
            "    padding: 8px;\n"
            "    color: white;\n"
            "}\n"
            "QListWidget::item {\n"
            "    padding: 10px;\n"
            "    border-radius: 7px;\n"
            "}\n"
            "QListWidget::item:selected {\n"
            "    background-color: #3865b4;\n"
            "}\n"
            "QPushButton:hover {\n"
            "    background-color: #6699ff;\n"
            "}\n"
            "QTextEdit {\n"
            "    background-color: #1e232c;\n"
            "    border: none;\n"
            "    border-radius: 14px;\n"
            "    padding: 8px;\n"
            "    color: #cdd4e0;\n"
            "}\n"));

        mainLayout = new QVBoxLayout(centralwidget);
        mainLayout->setObjectName("mainLayout");
        mainLayout->setContentsMargins(0, 0, 0, 5);

        horizontalLayout_2 = new QHBoxLayout();
        horizontalLayout_2->setObjectName("horizontalLayout_2");

        label = new QLabel(centralwidget);
        label->setObjectName("label");
        label->setFont(monoFont(17));
        label->setAlignment(Qt::AlignCenter);
        label->setMargin(0);
        label->setIndent(0);
        label->setLineWidth(0);
        horizontalLayout_2->addWidget(label);

        titleBar = new QFrame(centralwidget);
        titleBar->setObjectName("titleBar");
        titleBar->setEnabled(true);
        titleBar->setSizePolicy(QSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed));
        titleBar->setMinimumSize(QSize(200, 40));
        titleBar->setMaximumSize(QSize(300, 40));
        titleBar->setStyleSheet(QString::fromUtf8("QFrame#titleBar {\n"
                                                  "    background-color: rgba(3, 0, 0, 0.77);\n"
                                                  "}\n"
                                                  "QLabel#titleLabel {\n"
                                                  "    color: white;\n"
                                                  "    font-size: 17px;\n"
                                                  "    font-weight: 700;\n"
                                                  "}\n"));
        titleBar->setFrameShape(QFrame::StyledPanel);
        titleBar->setFrameShadow(QFrame::Sunken);
        titleBar->setLineWidth(0);

        horizontalLayoutWidget = new QWidget(titleBar);
        horizontalLayoutWidget->setObjectName("horizontalLayoutWidget");
        horizontalLayoutWidget->setGeometry(QRect(0, 0, 201, 42));
        horizontalLayout = new QHBoxLayout(horizontalLayoutWidget);
        horizontalLayout->setSpacing(0);
        horizontalLayout->setObjectName("horizontalLayout");
        horizontalLayout->setContentsMargins(0, 0, 0, 0);
        horizontalLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));

        minimierenButton = new QPushButton(horizontalLayoutWidget);
        minimierenButton->setObjectName("minimierenButton");
        minimierenButton->setSizePolicy(QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum));
        fixSize(minimierenButton, 50, 30);
        QFont minimiseFont = titleButtonFont(25);
        minimiseFont.setKerning(false);
        minimierenButton->setFont(minimiseFont);
        horizontalLayout->addWidget(minimierenButton);

        settingsButtton = new QPushButton(horizontalLayoutWidget);
        settingsButtton->setObjectName("settingsButtton");
        fixSize(settingsButtton, 50, 30);
        settingsButtton->setFont(titleButtonFont(15));
        horizontalLayout->addWidget(settingsButtton);

        horizontalLayout_2->addWidget(titleBar, 0, Qt::AlignRight);
        mainLayout->addLayout(horizontalLayout_2);

        verticalLayout = new QVBoxLayout();
        verticalLayout->setSpacing(0);
        verticalLayout->setObjectName("verticalLayout");
        // -1 keeps the style's default for top and bottom.
        verticalLayout->setContentsMargins(22, -1, 22, -1);

        statusLabel = new QLabel(centralwidget);
        statusLabel->setObjectName("statusLabel");
        statusLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        verticalLayout->addWidget(statusLabel);
        verticalLayout->addItem(new QSpacerItem(20, 10, QSizePolicy::Minimum, QSizePolicy::Fixed));

        sectionLabel = new QLabel(centralwidget);
        sectionLabel->setObjectName("sectionLabel");
        fixSize(sectionLabel, 310, 15);
        sectionLabel->setFont(monoFont());
        sectionLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        verticalLayout->addWidget(sectionLabel, 0, Qt::AlignHCenter);

        deviceList = new QListWidget(centralwidget);
        deviceList->setObjectName("deviceList");
        fixSize(deviceList, 330, 130);
        deviceList->setStyleSheet(QString::fromUtf8("background-color: rgba(45, 52, 64, 200);;"));
        verticalLayout->addWidget(deviceList, 0, Qt::AlignHCenter);
        verticalLayout->addItem(new QSpacerItem(20, 10, QSizePolicy::Minimum, QSizePolicy::Fixed));

        horizontalLayout_4 = new QHBoxLayout();
        horizontalLayout_4->setObjectName("horizontalLayout_4");
        sendFileButton = new QPushButton(centralwidget);
        sendFileButton->setObjectName("sendFileButton");
        sendFileButton->setEnabled(true);
        sendFileButton->setSizePolicy(QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
        fixSize(sendFileButton, 80, 100);
        sendFileButton->setFont(monoFont(8));
        sendFileButton->setStyleSheet(QString::fromUtf8("background-color: rgba(24, 24, 24, 0.77);"));
        horizontalLayout_4->addWidget(sendFileButton);

        dropArea = new DropAreaWidget(centralwidget);
        dropArea->setObjectName("dropArea");
        fixSize(dropArea, 300, 100);
        dropArea->setStyleSheet(QString::fromUtf8("DropAreaWidget#dropArea {\n"
                                                  "    background-color: rgba(30, 35, 44, 160);\n"
                                                  "    border: none;\n"
                                                  "    border-radius: 5px;\n"
                                                  "}\n"
                                                  "DropAreaWidget#dropArea:hover {\n"
                                                  "    background-color: rgba(30, 35, 44, 200);\n"
                                                  "    border: none;\n"
                                                  "    border-radius: 5px;\n"
                                                  "}\n"));
        dropArea->setFrameShape(QFrame::StyledPanel);
        dropArea->setFrameShadow(QFrame::Raised);
        label_2 = new QLabel(dropArea);
        label_2->setObjectName("label_2");
        label_2->setGeometry(QRect(40, 30, 211, 41));
        label_2->setFont(monoFont(7));
        label_2->setAlignment(Qt::AlignCenter);
        horizontalLayout_4->addWidget(dropArea);
        verticalLayout->addLayout(horizontalLayout_4);
        verticalLayout->addItem(new QSpacerItem(20, 20, QSizePolicy::Minimum, QSizePolicy::Fixed));

        transferProgress = new QProgressBar(centralwidget);
        transferProgress->setObjectName("transferProgress");
        transferProgress->setValue(0);
        verticalLayout->addWidget(transferProgress);

        transferSizeLabel = new QLabel(centralwidget);
        transferSizeLabel->setObjectName("transferSizeLabel");
        transferSizeLabel->setFont(monoFont());
        verticalLayout->addWidget(transferSizeLabel);

        logoLabel = new QLabel(centralwidget);
        logoLabel->setObjectName("logoLabel");
        logoLabel->setSizePolicy(QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
        fixSize(logoLabel, 300, 40);
        logoLabel->setScaledContents(false);
        logoLabel->setAlignment(Qt::AlignCenter);
        verticalLayout->addWidget(logoLabel, 0, Qt::AlignHCenter);

        mainLayout->addLayout(verticalLayout);
        window->setCentralWidget(centralwidget);

        retranslateUi(window);
        QMetaObject::connectSlotsByName(window);
    }

    void retranslateUi(QMainWindow *window)
    {
        window->setWindowTitle(QString::fromLatin1(protocol::kAppName));
        label->setText(QCoreApplication::translate("MainWindow", "KAVELTOR"));
        minimierenButton->setText(QCoreApplication::translate("MainWindow", "-"));
        settingsButtton->setText(QCoreApplication::translate("MainWindow", "\u2261"));
        statusLabel->setText(QCoreApplication::translate("MainWindow", "\u25cf Online"));
        sectionLabel->setText(QCoreApplication::translate("MainWindow", "Ger\u00e4te"));
        sendFileButton->setText(QCoreApplication::translate("MainWindow", "Explorer"));
        label_2->setText(QCoreApplication::translate("MainWindow", "Dateien hier ablegen"));
        transferSizeLabel->setText(QString());
        logoLabel->setText(QString());
    }
};

} // namespace Ui
